#include "tests/support/udp_link.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace {

sockaddr_in address(const std::string& ip, int port) {
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
    return a;
}

int bound_socket(const sockaddr_in& a) {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s >= 0 && bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        close(s);
        s = -1;
    }
    return s;
}

bool starts_with(const char* p, size_t n, const char* word) {
    size_t k = strlen(word);
    return n >= k && memcmp(p, word, k) == 0;
}

// A 2xx answer whose CSeq names REGISTER.
bool register_ok(const char* p, size_t n) {
    if (!starts_with(p, n, "SIP/2.0 2")) return false;
    std::string text(p, n);
    size_t at = text.find("\nCSeq:");
    if (at == std::string::npos) return false;
    size_t end = text.find('\n', at + 1);
    return text.substr(at, end - at).find(" REGISTER") != std::string::npos;
}

}  // namespace

double steady_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

UdpLink::UdpLink(const std::string& front_ip, int front_port, const std::string& back_ip,
                 int back_port) {
    front_ = bound_socket(address(front_ip, front_port));
    back_ = bound_socket(address(front_ip, 0));
    sockaddr_in service = address(back_ip, back_port);
    if (front_ < 0 || back_ < 0 || pipe(stop_) != 0 ||
        connect(back_, reinterpret_cast<sockaddr*>(&service), sizeof service) != 0)
        return;
    ready_ = true;
    th_ = std::thread(&UdpLink::run, this);
}

UdpLink::~UdpLink() {
    if (th_.joinable()) {
        char c = 0;
        (void)!write(stop_[1], &c, 1);
        th_.join();
    }
    for (int fd : {front_, back_, stop_[0], stop_[1]})
        if (fd >= 0) close(fd);
}

void UdpLink::cut(bool on) {
    std::lock_guard<std::mutex> hold(mu_);
    cut_ = on;
}

void UdpLink::cut_at_next_register(double seconds) {
    std::lock_guard<std::mutex> hold(mu_);
    cut_for_ = seconds;
    cut_ended_ = 0;
}

double UdpLink::cut_ended_at() {
    std::lock_guard<std::mutex> hold(mu_);
    return cut_ended_;
}

std::vector<double> UdpLink::registrations() {
    std::lock_guard<std::mutex> hold(mu_);
    return registered_;
}

std::string UdpLink::timeline(double since) {
    std::lock_guard<std::mutex> hold(mu_);
    std::string out;
    for (const auto& [t, what] : seen_) {
        char line[64];
        snprintf(line, sizeof line, "%.2f %s\n", t - since, what.c_str());
        out += line;
    }
    return out;
}

void UdpLink::run() {
    sockaddr_in device = {};
    bool known = false;
    char buf[65536];
    for (;;) {
        struct pollfd p[3] = {{front_, POLLIN, 0}, {back_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        poll(p, 3, 50);
        if (p[2].revents) return;
        double now = steady_seconds();
        std::lock_guard<std::mutex> hold(mu_);
        if (cut_until_ && now >= cut_until_) {
            cut_until_ = 0;
            cut_ended_ = now;
        }
        if (p[0].revents & (POLLIN | POLLERR)) {
            socklen_t len = sizeof device;
            ssize_t n =
                recvfrom(front_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&device), &len);
            if (n > 0) {
                known = true;
                bool reg = starts_with(buf, size_t(n), "REGISTER ");
                if (cut_for_ > 0 && reg) {
                    cut_until_ = now + cut_for_;
                    cut_for_ = 0;
                }
                bool pass = !cut_ && !cut_until_;
                if (reg) seen_.emplace_back(now, pass ? "REGISTER" : "REGISTER dropped");
                if (pass) (void)!send(back_, buf, size_t(n), 0);
            }
        }
        if (p[1].revents & (POLLIN | POLLERR)) {
            ssize_t n = recv(back_, buf, sizeof buf, 0);
            if (n > 0 && known && !cut_ && !cut_until_) {
                if (register_ok(buf, size_t(n))) {
                    registered_.push_back(now);
                    seen_.emplace_back(now, "REGISTER ok");
                }
                (void)!sendto(front_, buf, size_t(n), 0, reinterpret_cast<sockaddr*>(&device),
                              sizeof device);
            }
        }
    }
}
