// The host's own addresses, as the SIP stack binds its transports on them
// when it listens on every address: the stack looks them up once, when it
// starts, and keeps its sockets on those. The agent compares a new look with
// the one its transports were bound with to learn that they must be bound
// again (an address that came after the start, a lease with a new one).
#pragma once

#include <ifaddrs.h>

#include "sip/service_addrs.h"

enum { HOST_ADDRS_MAX = 32 };

// In address order, each once: two looks compare whatever order the
// interfaces list them in.
struct HostAddrs {
    NetAddr addr[HOST_ADDRS_MAX];
    int n = 0;
};

// The addresses of the interfaces that are up, less link-local ones (the
// stack binds none: they need an interface besides the address). Beyond
// HOST_ADDRS_MAX, the lowest addresses are kept.
HostAddrs host_addrs_of(const struct ifaddrs* list);
// The host's addresses now; false when they cannot be listed.
bool host_addrs_now(HostAddrs* out);
bool host_addrs_equal(const HostAddrs& a, const HostAddrs& b);
