#include "sip/service_addrs.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sofia-sip/url.h>
#include <stdio.h>
#include <string.h>

bool net_addr_parse(const char* text, NetAddr* out) {
    *out = NetAddr{};
    if (inet_pton(AF_INET, text, out->bytes) == 1) {
        out->family = AF_INET;
        return true;
    }
    struct sockaddr_in6 six = {};
    if (inet_pton(AF_INET6, text, &six.sin6_addr) != 1) return false;
    six.sin6_family = AF_INET6;
    return net_addr_from_sockaddr(reinterpret_cast<const sockaddr*>(&six), sizeof six, out);
}

bool net_addr_from_sockaddr(const struct sockaddr* sa, socklen_t len, NetAddr* out) {
    *out = NetAddr{};
    if (!sa) return false;
    if (sa->sa_family == AF_INET && len >= socklen_t(sizeof(sockaddr_in))) {
        out->family = AF_INET;
        memcpy(out->bytes, &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, 4);
        return true;
    }
    if (sa->sa_family != AF_INET6 || len < socklen_t(sizeof(sockaddr_in6))) return false;
    const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&a)) {
        out->family = AF_INET;
        memcpy(out->bytes, a.s6_addr + 12, 4);
    } else {
        out->family = AF_INET6;
        memcpy(out->bytes, a.s6_addr, 16);
    }
    return true;
}

void net_addr_text(const NetAddr& a, char* buf, size_t n) {
    if (n == 0) return;
    if (!inet_ntop(a.family, a.bytes, buf, socklen_t(n))) snprintf(buf, n, "?");
}

bool net_addr_equal(const NetAddr& a, const NetAddr& b) {
    return a.family == b.family && memcmp(a.bytes, b.bytes, a.family == AF_INET ? 4 : 16) == 0;
}

namespace {

// Letters, digits, '-' and '.': anything else is no name to look up.
bool is_name(const char* host) {
    if (!host[0]) return false;
    for (const char* p = host; *p; ++p)
        if (!isalnum((unsigned char)*p) && *p != '-' && *p != '.') return false;
    return true;
}

bool in(const NetAddr* list, int n, const NetAddr& a) {
    for (int i = 0; i < n; ++i)
        if (net_addr_equal(list[i], a)) return true;
    return false;
}

}  // namespace

bool service_addrs_add(ServiceAddrs* s, const NetAddr& a) {
    if (in(s->fixed, s->fixed_n, a)) return true;
    if (s->fixed_n == SERVICE_FIXED_MAX) return false;
    s->fixed[s->fixed_n++] = a;
    return true;
}

int service_addrs_add_host(ServiceAddrs* s, const char* host) {
    NetAddr a;
    if (net_addr_parse(host, &a)) return service_addrs_add(s, a) ? 1 : 0;
    if (!is_name(host)) return 0;
    struct addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    struct addrinfo* res = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &res) != 0) return 0;
    int added = 0;
    for (struct addrinfo* r = res; r; r = r->ai_next)
        if (net_addr_from_sockaddr(r->ai_addr, r->ai_addrlen, &a) && !service_addrs_has(*s, a))
            added += service_addrs_add(s, a) ? 1 : 0;
    freeaddrinfo(res);
    return added;
}

int service_addrs_add_uri_host(ServiceAddrs* s, const char* uri) {
    // The stack's own parser, so the host is the one the stack sends to.
    char buf[256];
    if (snprintf(buf, sizeof buf, "%s", uri) >= int(sizeof buf)) return 0;
    url_t url;
    if (url_d(&url, buf) < 0 || !url.url_host || !url.url_host[0]) return 0;
    char host[256];
    snprintf(host, sizeof host, "%s", url.url_host);
    size_t len = strlen(host);
    if (host[0] == '[' && len > 1 && host[len - 1] == ']') {
        host[len - 1] = '\0';
        return service_addrs_add_host(s, host + 1);
    }
    return service_addrs_add_host(s, host);
}

bool service_addrs_learn(ServiceAddrs* s, const NetAddr& a) {
    if (service_addrs_has(*s, a)) return false;
    s->learned[s->learned_next] = a;
    s->learned_next = (s->learned_next + 1) % SERVICE_LEARNED_MAX;
    if (s->learned_n < SERVICE_LEARNED_MAX) ++s->learned_n;
    return true;
}

bool service_addrs_has(const ServiceAddrs& s, const NetAddr& a) {
    return in(s.fixed, s.fixed_n, a) || in(s.learned, s.learned_n, a);
}
