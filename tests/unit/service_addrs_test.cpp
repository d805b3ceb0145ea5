// Who may talk to the device over SIP: the service's addresses, fixed from
// the settings and learned from the registrations, compared by address.
#include "sip/service_addrs.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <string>

namespace {

NetAddr addr(const char* text) {
    NetAddr a;
    EXPECT_TRUE(net_addr_parse(text, &a)) << text;
    return a;
}

bool allows(const ServiceAddrs& s, const char* text) {
    return service_addrs_has(s, addr(text));
}

// The outbound proxy is a SIP URI; its host is what counts, in any form the
// stack takes.
TEST(ServiceAddrs, TheProxysHostWhateverTheUriAroundIt) {
    const struct {
        const char* uri;
        const char* in;
        const char* out;
    } cases[] = {
        {"sip:10.7.0.1:5080", "10.7.0.1", "10.7.0.2"},
        {"sip:10.7.0.1:5080;lr;transport=udp", "10.7.0.1", "10.7.1.1"},
        {"sip:10.7.0.1", "10.7.0.1", "10.7.0.10"},
        {"sip:[2001:db8::5]:5080", "2001:db8::5", "2001:db8::6"},
        {"sips:proxy@10.7.0.3:5061", "10.7.0.3", "10.7.0.1"},
        {"sip:localhost:5080", "127.0.0.1", "127.0.0.2"},  // a name, resolved
    };
    for (const auto& c : cases) {
        ServiceAddrs s;
        EXPECT_GE(service_addrs_add_uri_host(&s, c.uri), 1) << c.uri;
        EXPECT_TRUE(allows(s, c.in)) << c.uri;
        EXPECT_FALSE(allows(s, c.out)) << c.uri;
    }
    ServiceAddrs none;
    for (const char* bad : {"", "sip:", "not a uri at all ;", "sip:;lr"})
        EXPECT_EQ(service_addrs_add_uri_host(&none, bad), 0) << bad;
    EXPECT_EQ(none.fixed_n, 0);
}

// A datagram's source has a port, and may come as an IPv4-mapped IPv6
// address on a dual-stack socket: neither makes it another address.
TEST(ServiceAddrs, SourceComparedByAddressAlone) {
    ServiceAddrs s;
    ASSERT_EQ(service_addrs_add_host(&s, "10.7.0.1"), 1);
    ASSERT_EQ(service_addrs_add_host(&s, "2001:db8::5"), 1);
    EXPECT_EQ(service_addrs_add_host(&s, "10.7.0.1"), 1);  // already there: one entry
    EXPECT_EQ(s.fixed_n, 2);

    struct sockaddr_in v4 = {};
    v4.sin_family = AF_INET;
    v4.sin_port = htons(5099);
    inet_pton(AF_INET, "10.7.0.1", &v4.sin_addr);
    struct sockaddr_in6 mapped = {};
    mapped.sin6_family = AF_INET6;
    mapped.sin6_port = htons(5080);
    inet_pton(AF_INET6, "::ffff:10.7.0.1", &mapped.sin6_addr);
    struct sockaddr_in6 v6 = mapped;
    inet_pton(AF_INET6, "2001:db8::5", &v6.sin6_addr);
    struct sockaddr_in6 other = mapped;
    inet_pton(AF_INET6, "::ffff:10.7.0.2", &other.sin6_addr);
    const struct {
        const sockaddr* sa;
        socklen_t len;
        bool allowed;
    } sources[] = {
        {reinterpret_cast<sockaddr*>(&v4), sizeof v4, true},
        {reinterpret_cast<sockaddr*>(&mapped), sizeof mapped, true},
        {reinterpret_cast<sockaddr*>(&v6), sizeof v6, true},
        {reinterpret_cast<sockaddr*>(&other), sizeof other, false},
    };
    for (const auto& src : sources) {
        NetAddr a;
        ASSERT_TRUE(net_addr_from_sockaddr(src.sa, src.len, &a));
        char text[64];
        net_addr_text(a, text, sizeof text);
        EXPECT_EQ(service_addrs_has(s, a), src.allowed) << text;
    }
    NetAddr a;
    EXPECT_FALSE(net_addr_from_sockaddr(nullptr, 0, &a));
    EXPECT_FALSE(net_addr_from_sockaddr(reinterpret_cast<sockaddr*>(&v4), 4, &a));
    for (const char* not_numeric : {"", "10.7.0", "10.7.0.1:5080", "[::1]", "example.net"})
        EXPECT_FALSE(net_addr_parse(not_numeric, &a)) << not_numeric;
}

// The registrar's answers tell where the service is now: a service that
// moved is followed, and the last few addresses are kept for messages still
// relayed from an old one; the configured ones are never pushed out.
TEST(ServiceAddrs, LearnedAddressesFollowTheServiceAndKeepTheLastFew) {
    ServiceAddrs s;
    ASSERT_EQ(service_addrs_add_host(&s, "10.7.0.1"), 1);
    EXPECT_FALSE(service_addrs_learn(&s, addr("10.7.0.1")));  // known already
    EXPECT_FALSE(allows(s, "10.8.0.1"));
    const int moves = SERVICE_LEARNED_MAX + 2;
    for (int i = 1; i <= moves; ++i) {
        std::string a = "10.8.0." + std::to_string(i);
        EXPECT_TRUE(service_addrs_learn(&s, addr(a.c_str()))) << a;
        EXPECT_FALSE(service_addrs_learn(&s, addr(a.c_str()))) << a;  // each refresh again
    }
    for (int i = 1; i <= moves; ++i) {
        std::string a = "10.8.0." + std::to_string(i);
        EXPECT_EQ(allows(s, a.c_str()), i > moves - SERVICE_LEARNED_MAX) << a;
    }
    EXPECT_TRUE(allows(s, "10.7.0.1"));
}

TEST(ServiceAddrs, AFullTableTakesNoMore) {
    ServiceAddrs s;
    for (int i = 0; i < SERVICE_FIXED_MAX; ++i) {
        std::string a = "10.9.0." + std::to_string(i + 1);
        ASSERT_TRUE(service_addrs_add(&s, addr(a.c_str())));
    }
    EXPECT_FALSE(service_addrs_add(&s, addr("10.9.1.1")));
    EXPECT_TRUE(service_addrs_add(&s, addr("10.9.0.1")));  // already in
    EXPECT_FALSE(allows(s, "10.9.1.1"));
}

}  // namespace
