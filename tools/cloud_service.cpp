// hopperd-cloud: a stand-in for the cloud web service, for desks and tests.
//   hopperd-cloud --addr 127.0.0.1 [--port 8080] [--record FILE]
//                 [--mode close|keep-open|slow|refuse|no-read] [--delay-ms N]
// Logs every request readably on stdout and, with --record, as one JSON line each.
#include <arpa/inet.h>
#include <ctype.h>
#include <curl/curl.h>
#include <errno.h>
#include <fcntl.h>
#include <jansson.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

constexpr size_t kMaxRequest = 64 * 1024;  // headers and body together
constexpr size_t kMaxConns = 256;          // beyond this, new connections are dropped
constexpr int64_t kDrainMs = 2000;         // how long a closing connection may linger

struct Fd {
    int fd = -1;
    explicit Fd(int f = -1) : fd(f) {}
    Fd(Fd&& o) noexcept : fd(std::exchange(o.fd, -1)) {}
    Fd& operator=(Fd&& o) noexcept {
        std::swap(fd, o.fd);
        return *this;
    }
    ~Fd() {
        if (fd >= 0) close(fd);
    }
};

enum class Mode { kClose, kKeepOpen, kSlow, kRefuse, kNoRead };
struct Options {
    std::string addr, record;
    int port = 8080;
    Mode mode = Mode::kClose;
    int64_t delay_ms = 3000;
};

struct Request {
    std::string method, path, query, body, error;
    size_t consumed = 0;
};
enum class Parse { kNeedMore, kDone, kBad };

// Reading: waiting for a request. Waiting: slow mode holding the answer back.
// Sending: answer queued, close after it. Draining: write side shut, waiting for the
// peer's close so the answer is not cut off by a reset. Idle: no-read mode.
enum class State { kReading, kWaiting, kSending, kDraining, kIdle };
struct Conn {
    Fd fd;
    std::string in, out;
    State st = State::kReading;
    int64_t deadline = 0;
    bool dead = false;
};

struct Ctx {
    Options opt;
    Fd rec;
    CURL* curl = nullptr;
};

int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool iequals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return tolower(static_cast<unsigned char>(x)) ==
                      tolower(static_cast<unsigned char>(y));
           });
}

template <typename T>
bool to_num(std::string_view s, T& v) {
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    return ec == std::errc() && p == s.data() + s.size() && !s.empty();
}

// Same acceptance rules as jansson (no overlongs, surrogates or > U+10FFFF), so the result
// is always a string jansson takes; anything else becomes U+FFFD.
std::string to_utf8(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size();) {
        unsigned char c = s[i];
        size_t n = c < 0x80 ? 1 : c < 0xC2 ? 0 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : c < 0xF5 ? 4 : 0;
        uint32_t cp = n == 1 ? c : n == 2 ? c & 0x1F : n == 3 ? c & 0x0F : c & 0x07;
        size_t k = 1;
        for (; k < n && i + k < s.size() && (s[i + k] & 0xC0) == 0x80; ++k)
            cp = cp << 6 | (s[i + k] & 0x3F);
        bool ok = n != 0 && k == n && !(n == 3 && cp < 0x800) && !(n == 4 && cp < 0x10000) &&
                  !(cp >= 0xD800 && cp <= 0xDFFF) && cp <= 0x10FFFF;
        if (ok)
            out.append(s.substr(i, n));
        else
            out += "\xEF\xBF\xBD";
        i += k;
    }
    return out;
}

json_t* jstr(std::string_view s) {
    if (json_t* j = json_stringn(s.data(), s.size())) return j;
    std::string clean = to_utf8(s);
    return json_stringn(clean.data(), clean.size());
}

std::string unescape(CURL* curl, std::string_view s) {
    if (s.empty()) return {};  // libcurl takes length 0 as "use strlen"
    int len = 0;
    char* p = curl_easy_unescape(curl, s.data(), static_cast<int>(s.size()), &len);
    if (!p) return std::string(s);
    std::string r(p, len);
    curl_free(p);
    return r;
}

using Fields = std::vector<std::pair<std::string, std::string>>;

Fields split_form(CURL* curl, std::string_view src) {
    Fields f;
    while (!src.empty()) {
        size_t amp = std::min(src.find('&'), src.size());
        std::string_view kv = src.substr(0, amp);
        src.remove_prefix(std::min(amp + 1, src.size()));
        if (kv.empty()) continue;
        size_t eq = std::min(kv.find('='), kv.size());
        std::string_view v = eq < kv.size() ? kv.substr(eq + 1) : std::string_view();
        f.emplace_back(unescape(curl, kv.substr(0, eq)), unescape(curl, v));
    }
    return f;
}

// The last of repeated keys wins, as it does in the JSON object.
const std::string* field(const Fields& f, std::string_view key) {
    auto it = std::find_if(f.rbegin(), f.rend(), [&](auto& kv) { return kv.first == key; });
    return it == f.rend() ? nullptr : &it->second;
}

Parse bad(Request& rq, const char* why) {
    rq.error = why;
    return Parse::kBad;
}

Parse parse_request(const std::string& buf, Request& rq) {
    size_t hend = buf.find("\r\n\r\n");
    if (hend == std::string::npos) {
        if (buf.size() > kMaxRequest) return bad(rq, "request too large");
        return Parse::kNeedMore;
    }
    std::string_view head(buf.data(), hend);
    size_t eol = std::min(head.find("\r\n"), head.size());
    std::string_view line = head.substr(0, eol);
    size_t s1 = line.find(' '), s2 = line.rfind(' ');
    if (s1 == std::string_view::npos || s1 == 0 || s1 == s2 ||
        line.substr(s2 + 1).substr(0, 7) != "HTTP/1.")
        return bad(rq, "malformed request line");
    rq.method = line.substr(0, s1);
    std::string_view target = line.substr(s1 + 1, s2 - s1 - 1);
    size_t q = std::min(target.find('?'), target.size());
    rq.path = target.substr(0, q);
    rq.query = target.substr(std::min(q + 1, target.size()));
    size_t clen = 0;
    while (eol < head.size()) {
        head.remove_prefix(eol + 2);
        eol = std::min(head.find("\r\n"), head.size());
        std::string_view h = head.substr(0, eol);
        size_t colon = h.find(':');
        if (colon == std::string_view::npos) return bad(rq, "malformed header");
        std::string_view name = h.substr(0, colon), val = h.substr(colon + 1);
        while (!val.empty() && (val.front() == ' ' || val.front() == '\t')) val.remove_prefix(1);
        while (!val.empty() && (val.back() == ' ' || val.back() == '\t')) val.remove_suffix(1);
        if (iequals(name, "content-length") && !to_num(val, clen))
            return bad(rq, "bad Content-Length");
        if (iequals(name, "transfer-encoding") && !iequals(val, "identity"))
            return bad(rq, "unsupported Transfer-Encoding");
    }
    if (clen > kMaxRequest || hend + 4 + clen > kMaxRequest) return bad(rq, "request too large");
    if (buf.size() < hend + 4 + clen) return Parse::kNeedMore;
    rq.body = buf.substr(hend + 4, clen);
    rq.consumed = hend + 4 + clen;
    return Parse::kDone;
}

// One record line per request; written in a single write() so several services
// appending to one file do not interleave.
void record(Ctx& ctx, const Request& rq, const Fields& f) {
    using namespace std::chrono;
    double t = duration<double>(system_clock::now().time_since_epoch()).count();
    json_t* o = json_object();
    if (!rq.error.empty()) json_object_set_new(o, "error", jstr(rq.error));
    if (!rq.method.empty()) {
        json_object_set_new(o, "method", jstr(rq.method));
        json_object_set_new(o, "path", jstr(rq.path));
        json_object_set_new(o, "query", jstr(rq.method == "POST" ? rq.body : rq.query));
    }
    if (rq.error.empty()) {
        json_t* jf = json_object();
        for (auto& [k, v] : f) {
            std::string key = to_utf8(k);
            json_object_setn_new(jf, key.data(), key.size(), jstr(v));
        }
        json_object_set_new(o, "fields", jf);
        if (auto* m = field(f, "message")) json_object_set_new(o, "message", jstr(*m));
    }
    json_object_set_new(o, "t", json_real(t));
    json_object_set_new(o, "body_bytes", json_integer(static_cast<json_int_t>(rq.body.size())));
    if (char* s = json_dumps(o, JSON_COMPACT)) {
        std::string line = std::string(s) + "\n";
        free(s);
        if (write(ctx.rec.fd, line.data(), line.size()) < 0) perror("hopperd-cloud: record");
    }
    json_decref(o);
}

std::string readable(const std::string* s) {
    std::string r = s ? to_utf8(*s) : "?";
    while (!r.empty() && (r.back() == '\n' || r.back() == '\r')) r.pop_back();
    for (size_t i = 0; (i = r.find('\n', i)) != std::string::npos;) r.replace(i, 1, "\\n");
    return r;
}

void report(Ctx& ctx, const Request& rq) {
    Fields f;
    if (rq.error.empty()) f = split_form(ctx.curl, rq.method == "POST" ? rq.body : rq.query);
    if (ctx.rec.fd >= 0) record(ctx, rq, f);
    constexpr std::string_view kApi = "/Ovexa/api/";
    std::string tag = rq.path.starts_with(kApi) ? rq.path.substr(kApi.size()) : rq.path;
    if (!rq.error.empty())
        printf("[error] %s (%s %s)\n", rq.error.c_str(), readable(&rq.method).c_str(),
               readable(&rq.path).c_str());
    else if (tag == "messaging" || tag == "feeding-log")
        printf("[%s] %s: %s\n", tag.c_str(), readable(field(f, "product-id")).c_str(),
               readable(field(f, "message")).c_str());
    else if (tag == "product")
        printf("[product] %s %s sipid %s\n", readable(field(f, "job")).c_str(),
               readable(field(f, "id")).c_str(), readable(field(f, "sip-username")).c_str());
    else
        printf("[%s] %s %s\n", readable(&tag).c_str(), readable(&rq.method).c_str(),
               readable(rq.method == "POST" ? &rq.body : &rq.query).c_str());
    fflush(stdout);
}

std::string answer(int code, bool close_conn) {
    std::string body = code == 200 ? R"({"result":"ok"})" : R"({"result":"error"})";
    return std::string("HTTP/1.1 ") + (code == 200 ? "200 OK" : "400 Bad Request") +
           "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
           (close_conn ? "\r\nConnection: close" : "") + "\r\n\r\n" + body;
}

void flush_out(Conn& c) {
    while (!c.out.empty()) {
        ssize_t n = send(c.fd.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno != EAGAIN && errno != EINTR) c.dead = true;
            return;
        }
        c.out.erase(0, n);
    }
    if (c.st == State::kSending) {
        shutdown(c.fd.fd, SHUT_WR);
        c.st = State::kDraining;
        c.deadline = now_ms() + kDrainMs;
    }
}

void queue(Conn& c, const std::string& text, bool close_after) {
    c.out += text;
    if (close_after) c.st = State::kSending;
    flush_out(c);
}

void handle_input(Ctx& ctx, Conn& c) {
    while (c.st == State::kReading && !c.dead) {
        Request rq;
        Parse p = parse_request(c.in, rq);
        if (p == Parse::kNeedMore) return;
        report(ctx, rq);
        if (p == Parse::kBad) {
            queue(c, answer(400, true), true);
            return;
        }
        c.in.erase(0, rq.consumed);
        if (ctx.opt.mode == Mode::kSlow) {
            c.st = State::kWaiting;
            c.deadline = now_ms() + ctx.opt.delay_ms;
        } else {
            bool close_conn = ctx.opt.mode != Mode::kKeepOpen;
            queue(c, answer(200, close_conn), close_conn);
        }
    }
}

void service(Ctx& ctx, Conn& c, short rev) {
    if (c.st == State::kIdle) {
        if (rev & (POLLRDHUP | POLLHUP | POLLERR)) c.dead = true;
        return;
    }
    if (rev & POLLOUT) flush_out(c);
    if (c.dead || !(rev & (POLLIN | POLLHUP | POLLERR))) return;
    if (c.st != State::kReading && c.st != State::kDraining) return;
    char buf[4096];
    ssize_t n = recv(c.fd.fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) {
        if (c.st == State::kReading && !c.in.empty()) {
            Request rq;
            rq.error = "connection closed mid-request";
            report(ctx, rq);
        }
        c.dead = true;
        return;
    }
    if (c.st == State::kDraining) return;  // late bytes from a finished exchange
    c.in.append(buf, n);
    handle_input(ctx, c);
}

bool parse_args(int argc, char** argv, Options& o) {
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string_view k = argv[i], v = argv[i + 1];
        if (k == "--addr")
            o.addr = v;
        else if (k == "--port" && to_num(v, o.port) && o.port > 0 && o.port < 65536)
            continue;
        else if (k == "--record")
            o.record = v;
        else if (k == "--delay-ms" && to_num(v, o.delay_ms) && o.delay_ms >= 0)
            continue;
        else if (k == "--mode") {
            const std::pair<std::string_view, Mode> modes[] = {{"close", Mode::kClose},
                                                               {"keep-open", Mode::kKeepOpen},
                                                               {"slow", Mode::kSlow},
                                                               {"refuse", Mode::kRefuse},
                                                               {"no-read", Mode::kNoRead}};
            auto it = std::find_if(std::begin(modes), std::end(modes),
                                   [&](auto& m) { return m.first == v; });
            if (it == std::end(modes)) return false;
            o.mode = it->second;
        } else
            return false;
    }
    return argc % 2 == 1 && !o.addr.empty();
}

}  // namespace

int main(int argc, char** argv) {
    Ctx ctx;
    if (!parse_args(argc, argv, ctx.opt)) {
        fprintf(stderr,
                "usage: hopperd-cloud --addr ADDR [--port N] [--record FILE]\n"
                "       [--mode close|keep-open|slow|refuse|no-read] [--delay-ms N]\n");
        return 2;
    }
    const Options& o = ctx.opt;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(o.port));
    if (inet_pton(AF_INET, o.addr.c_str(), &sa.sin_addr) != 1) {
        fprintf(stderr, "hopperd-cloud: bad address %s\n", o.addr.c_str());
        return 2;
    }
    // SIGINT/SIGTERM arrive through a descriptor in the poll set, so stopping is just
    // another event and can't race with going to sleep.
    sigset_t stop_sigs;
    sigemptyset(&stop_sigs);
    sigaddset(&stop_sigs, SIGINT);
    sigaddset(&stop_sigs, SIGTERM);
    signal(SIGINT, SIG_DFL);  // a shell starts background jobs with SIGINT ignored
    signal(SIGTERM, SIG_DFL);
    sigprocmask(SIG_BLOCK, &stop_sigs, nullptr);
    Fd sfd(signalfd(-1, &stop_sigs, SFD_CLOEXEC));
    if (sfd.fd < 0) {
        perror("hopperd-cloud: signalfd");
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);

    if (!o.record.empty()) {
        ctx.rec = Fd(open(o.record.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
        if (ctx.rec.fd < 0) {
            perror("hopperd-cloud: record file");
            return 1;
        }
    }
    curl_global_init(CURL_GLOBAL_DEFAULT);
    ctx.curl = curl_easy_init();
    if (!ctx.curl) {
        fprintf(stderr, "hopperd-cloud: curl_easy_init failed\n");
        return 1;
    }

    Fd lfd;
    if (o.mode != Mode::kRefuse) {
        lfd = Fd(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        int one = 1;
        if (lfd.fd < 0 || setsockopt(lfd.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0 ||
            bind(lfd.fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0 ||
            listen(lfd.fd, 64) < 0) {
            perror("hopperd-cloud: listen");
            return 1;
        }
    }
    printf("hopperd-cloud %s on %s:%d\n", o.mode == Mode::kRefuse ? "refusing" : "listening",
           o.addr.c_str(), o.port);
    fflush(stdout);

    std::vector<Conn> conns;
    std::vector<pollfd> pfds;
    int rc = 0;
    for (;;) {
        // A negative fd (refuse mode has no listener) is skipped by poll.
        pfds.assign({pollfd{sfd.fd, POLLIN, 0}, pollfd{lfd.fd, POLLIN, 0}});
        int64_t next = -1;
        for (auto& c : conns) {
            short ev = c.st == State::kIdle ? POLLRDHUP : 0;
            if (c.st == State::kReading || c.st == State::kDraining) ev |= POLLIN;
            if (!c.out.empty()) ev |= POLLOUT;
            pfds.push_back(pollfd{c.fd.fd, ev, 0});
            if (c.st == State::kWaiting || c.st == State::kDraining)
                next = next < 0 ? c.deadline : std::min(next, c.deadline);
        }
        int wait = next < 0 ? -1 : static_cast<int>(std::max<int64_t>(0, next - now_ms()));
        if (poll(pfds.data(), pfds.size(), wait) < 0) {
            if (errno == EINTR) continue;
            perror("hopperd-cloud: poll");
            rc = 1;
            break;
        }
        if (pfds[0].revents & POLLIN) break;
        for (size_t i = 0; i < conns.size(); ++i) service(ctx, conns[i], pfds[i + 2].revents);
        int64_t now = now_ms();
        for (auto& c : conns) {
            if (c.dead || c.deadline > now) continue;
            if (c.st == State::kWaiting)
                queue(c, answer(200, true), true);
            else if (c.st == State::kDraining)
                c.dead = true;
        }
        std::erase_if(conns, [](const Conn& c) { return c.dead; });
        if (!(pfds[1].revents & POLLIN)) continue;
        for (int fd; (fd = accept4(lfd.fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
            Conn c;
            c.fd = Fd(fd);
            if (conns.size() >= kMaxConns) continue;  // c's destructor closes it
            c.st = o.mode == Mode::kNoRead ? State::kIdle : State::kReading;
            conns.push_back(std::move(c));
        }
    }
    conns.clear();
    curl_easy_cleanup(ctx.curl);
    curl_global_cleanup();
    return rc;
}
