// Who may talk to the device over SIP: the addresses of the SIP service.
//
// The phone reaches the device only through the SIP service, so a request
// whose source is not one of the service's addresses comes from a stranger
// and is refused before anything runs. The source is the address the
// request's datagram came from, never a header the sender writes.
//
// The service's addresses are:
//  - fixed at start: the outbound proxy's host and the SIP domain (each an
//    address, or a name resolved then), and the allow-list of the settings;
//  - learned while running: the address that answered each successful
//    registration. That is where the stack found the registrar (through the
//    proxy or by the domain's DNS records) at that moment, so a service that
//    moves to a new address is followed at the next refresh; the last few
//    such addresses are kept, for messages still relayed from the old one.
#pragma once

#include <stddef.h>
#include <sys/socket.h>

// An IPv4 or IPv6 address, without a port: the service may relay from
// another port than the one it registers on. An IPv4-mapped IPv6 address is
// kept as the IPv4 address it maps.
struct NetAddr {
    int family;  // AF_INET or AF_INET6
    unsigned char bytes[16];
};

bool net_addr_parse(const char* text, NetAddr* out);  // a numeric address only
bool net_addr_from_sockaddr(const struct sockaddr* sa, socklen_t len, NetAddr* out);
void net_addr_text(const NetAddr& a, char* buf, size_t n);
bool net_addr_equal(const NetAddr& a, const NetAddr& b);

enum { SERVICE_FIXED_MAX = 32, SERVICE_LEARNED_MAX = 8 };

struct ServiceAddrs {
    NetAddr fixed[SERVICE_FIXED_MAX];
    int fixed_n = 0;
    NetAddr learned[SERVICE_LEARNED_MAX];  // the newest replaces the oldest
    int learned_n = 0;
    int learned_next = 0;
};

// A fixed address; false when the table is full (a duplicate is taken as added).
bool service_addrs_add(ServiceAddrs* s, const NetAddr& a);
// The addresses of a host: a numeric address as it is, a name resolved now.
// How many were added; 0 when the name does not resolve.
int service_addrs_add_host(ServiceAddrs* s, const char* host);
// The addresses of the host of a SIP URI ("sip:proxy.example:5080;lr",
// "sip:[2001:db8::1]:5080"); 0 when it has none.
int service_addrs_add_uri_host(ServiceAddrs* s, const char* uri);
// An address that answered a registration; true when it was not known yet.
bool service_addrs_learn(ServiceAddrs* s, const NetAddr& a);
bool service_addrs_has(const ServiceAddrs& s, const NetAddr& a);
