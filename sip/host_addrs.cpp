#include "sip/host_addrs.h"

#include <net/if.h>
#include <netinet/in.h>
#include <string.h>

#include <algorithm>

namespace {

bool link_local(const NetAddr& a) {
    if (a.family == AF_INET) return a.bytes[0] == 169 && a.bytes[1] == 254;
    return a.bytes[0] == 0xfe && (a.bytes[1] & 0xc0) == 0x80;
}

bool before(const NetAddr& a, const NetAddr& b) {
    if (a.family != b.family) return a.family < b.family;
    return memcmp(a.bytes, b.bytes, sizeof a.bytes) < 0;
}

}  // namespace

HostAddrs host_addrs_of(const struct ifaddrs* list) {
    // Every address first, so that the lowest are kept when there are too many.
    NetAddr all[4 * HOST_ADDRS_MAX];
    int n = 0;
    for (const struct ifaddrs* i = list; i && n < int(sizeof all / sizeof all[0]);
         i = i->ifa_next) {
        if (!(i->ifa_flags & IFF_UP) || !i->ifa_addr) continue;
        socklen_t len =
            i->ifa_addr->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
        NetAddr a;
        if (net_addr_from_sockaddr(i->ifa_addr, len, &a) && !link_local(a)) all[n++] = a;
    }
    std::sort(all, all + n, before);
    HostAddrs out;
    for (int k = 0; k < n && out.n < HOST_ADDRS_MAX; ++k)
        if (out.n == 0 || !net_addr_equal(out.addr[out.n - 1], all[k])) out.addr[out.n++] = all[k];
    return out;
}

bool host_addrs_now(HostAddrs* out) {
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) < 0) return false;
    *out = host_addrs_of(list);
    freeifaddrs(list);
    return true;
}

bool host_addrs_equal(const HostAddrs& a, const HostAddrs& b) {
    if (a.n != b.n) return false;
    for (int i = 0; i < a.n; ++i)
        if (!net_addr_equal(a.addr[i], b.addr[i])) return false;
    return true;
}
