// libFuzzer target: any bytes as the cloud service's answer to a report.
//
// The harness is the service, on a loopback address of its own: it reads the
// request whole, checks it, answers with the input and closes. A notification
// (the hand-written GET) is done whatever the answer, because the answer is
// not read; a registration (the POST) is done for every well-formed HTTP
// answer, error statuses included, and either way for any other bytes. Each
// report is one connection.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "fuzz/harness.h"
#include "include/feeder.h"
#include "include/result_codes.h"
#include "net/cloud.h"
#include "platform/settings.h"

namespace {

const char kProduct[] = "00:1a:2b:3c:4d:5e";
const char kSipid[] = "0123456789abcdef0123456789abcdef";
std::string g_host;  // host:8080

// The service's side of one report, on a thread of its own.
struct Service {
    int listener = -1;
    std::mutex mu;
    std::condition_variable cv;
    bool armed = false, served = false;
    std::string answer, request;

    // The request up to its end: the blank line, and for a POST its body.
    static bool whole(const std::string& r) {
        size_t head = r.find("\r\n\r\n");
        if (head == std::string::npos) return false;
        size_t length = 0;
        for (size_t p = r.find("\r\n"); p < head; p = r.find("\r\n", p + 2)) {
            if (strncasecmp(r.c_str() + p + 2, "Content-Length:", 15) == 0)
                length = strtoul(r.c_str() + p + 17, nullptr, 10);
        }
        return r.size() >= head + 4 + length;
    }

    void run() {
        for (;;) {
            std::unique_lock<std::mutex> lock(mu);
            cv.wait(lock, [&] { return armed; });
            armed = false;
            request.clear();
            // A report that never connects is a hang: libFuzzer's time-out tells.
            int c = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0) {
                char buf[2048];
                while (!whole(request)) {
                    struct pollfd q = {c, POLLIN, 0};
                    if (poll(&q, 1, 5000) != 1) break;
                    ssize_t k = recv(c, buf, sizeof buf, 0);
                    if (k <= 0) break;
                    request.append(buf, size_t(k));
                }
                // The reporter may stop reading early; that is its right.
                for (size_t off = 0; off < answer.size();) {
                    ssize_t k = send(c, answer.data() + off, answer.size() - off, MSG_NOSIGNAL);
                    if (k <= 0) break;
                    off += size_t(k);
                }
                close(c);
            }
            served = true;
            cv.notify_all();
        }
    }
    void arm(const std::string& a) {
        std::lock_guard<std::mutex> hold(mu);
        answer = a;
        served = false;
        armed = true;
        cv.notify_all();
    }
    std::string wait() {
        std::unique_lock<std::mutex> lock(mu);
        cv.wait(lock, [&] { return served; });
        return request;
    }
};
// Never destroyed: its thread waits on it until the process ends.
Service& g_service = *new Service;

// A listener on port 8080 of a loopback address nobody else uses.
int listen_8080(std::string* addr) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        std::string a = fuzz::own_loopback(unsigned(attempt));
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        struct sockaddr_in sa;
        memset(&sa, 0, sizeof sa);
        sa.sin_family = AF_INET;
        sa.sin_port = htons(8080);
        inet_pton(AF_INET, a.c_str(), &sa.sin_addr);
        if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 && listen(fd, 16) == 0) {
            *addr = a;
            return fd;
        }
        close(fd);
    }
    abort();
}

// A well-formed answer: a status the service may give, a body framed by its
// length or by the close.
std::string well_formed(fuzz::Input& in) {
    const int kStatus[] = {200, 201, 202, 400, 401, 403, 404, 500, 502, 503};
    int status = kStatus[in.byte() % (sizeof kStatus / sizeof kStatus[0])];
    bool sized = in.byte() & 1;
    std::string body = in.rest(8192);
    std::string a = "HTTP/1.1 " + std::to_string(status) + " Whatever\r\n";
    if (sized) a += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return a + "Content-Type: application/json\r\nConnection: close\r\n\r\n" + body;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string root = fuzz::start_board(false);
    std::string addr;
    g_service.listener = listen_8080(&addr);
    g_host = addr + ":8080";
    std::string conf = "cloud_host = " + addr + "\n";
    fuzz::put_file(root + "/etc/hopperd.conf", conf.data(), conf.size());
    settings_reload();
    Feeder* f = get_feeder();
    feeder_reset(f);
    snprintf(f->product_id, sizeof f->product_id, "%s", kProduct);
    snprintf(f->sipid, sizeof f->sipid, "%s", kSipid);
    cloud_init();
    std::thread([] { g_service.run(); }).detach();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in{data, size};
    uint8_t op = in.byte() % 4;
    bool post = op >= 2;
    bool formed = op == 3;
    std::string answer = formed ? well_formed(in) : in.rest(8192);

    g_service.arm(answer);
    int rc;
    std::string want;
    if (op == 0) {
        rc = cloud_notify("abc", CLOUD_MESSAGE);
        want = std::string("GET /Ovexa/api/messaging?job=add&product-id=") + kProduct +
               "&message=%24%7Bproduct.alias%7D%20abc HTTP/1.1\r\nHost: " + g_host + "\r\n\r\n";
    } else if (op == 1) {
        rc = cloud_notify("30g 제공", CLOUD_FEEDING_LOG);
        want = std::string("GET /Ovexa/api/feeding-log?job=add&product-id=") + kProduct +
               "&message=30g%20%EC%A0%9C%EA%B3%B5 HTTP/1.1\r\nHost: " + g_host + "\r\n\r\n";
    } else {
        rc = cloud_request(kSipid, CLOUD_REGISTER);
        want = std::string("job=register&id=") + kProduct + "&sip-username=" + kSipid;
    }
    std::string got = g_service.wait();
    struct pollfd p = {g_service.listener, POLLIN, 0};
    if (poll(&p, 1, 0) != 0) {
        // Who opened it: the start of what it sends.
        char first[200] = {0};
        int c = accept(g_service.listener, nullptr, nullptr);
        struct pollfd q = {c, POLLIN, 0};
        if (c >= 0 && poll(&q, 1, 1000) == 1) recv(c, first, sizeof first - 1, 0);
        fuzz::fail_at(__FILE__, __LINE__, "one connection",
                      "op %d (request \"%s\") and another connection sending \"%s\"", op,
                      got.c_str(), first);
    }

    if (!post) {
        FUZZ_CHECK(got == want, "notification sent \"%s\"", got.c_str());
        FUZZ_CHECK(rc == __HTTP_DONE, "notification failed (%d) on an answer it need not read", rc);
        return 0;
    }
    size_t head = got.find("\r\n\r\n");
    const std::string line = "POST /Ovexa/api/product HTTP/1.1\r\n";
    FUZZ_CHECK(got.compare(0, line.size(), line) == 0 &&
                   got.find("\r\nHost: " + g_host + "\r\n") < head &&
                   got.substr(head == std::string::npos ? 0 : head + 4) == want,
               "registration sent \"%s\"", got.c_str());
    FUZZ_CHECK(rc == __HTTP_DONE || rc == __HTTP_ERROR, "registration result %d", rc);
    if (formed)
        FUZZ_CHECK(rc == __HTTP_DONE, "registration failed (%d) on a well-formed answer", rc);
    return 0;
}
