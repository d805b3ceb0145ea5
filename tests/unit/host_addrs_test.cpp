// The host's addresses as the SIP stack binds them, compared across looks:
// a change must show, and nothing else may.
#include "sip/host_addrs.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

struct Iface {
    const char* addr;
    bool up;
};

// A getifaddrs() list of these interface addresses, in this order.
class IfList {
  public:
    explicit IfList(const std::vector<Iface>& ifs) : nodes_(ifs.size()), addrs_(ifs.size()) {
        for (size_t i = 0; i < ifs.size(); ++i) {
            sockaddr_storage& ss = addrs_[i];
            memset(&ss, 0, sizeof ss);
            auto* v4 = reinterpret_cast<sockaddr_in*>(&ss);
            auto* v6 = reinterpret_cast<sockaddr_in6*>(&ss);
            if (inet_pton(AF_INET, ifs[i].addr, &v4->sin_addr) == 1) {
                v4->sin_family = AF_INET;
            } else {
                EXPECT_EQ(inet_pton(AF_INET6, ifs[i].addr, &v6->sin6_addr), 1) << ifs[i].addr;
                v6->sin6_family = AF_INET6;
            }
            nodes_[i] = {};
            nodes_[i].ifa_flags = ifs[i].up ? IFF_UP : 0;
            nodes_[i].ifa_addr = reinterpret_cast<sockaddr*>(&ss);
            nodes_[i].ifa_next = i + 1 < ifs.size() ? &nodes_[i + 1] : nullptr;
        }
    }
    const ifaddrs* head() const { return nodes_.empty() ? nullptr : &nodes_[0]; }

  private:
    std::vector<ifaddrs> nodes_;
    std::vector<sockaddr_storage> addrs_;
};

std::string texts(const HostAddrs& h) {
    std::string out;
    for (int i = 0; i < h.n; ++i) {
        char buf[64];
        net_addr_text(h.addr[i], buf, sizeof buf);
        out += (out.empty() ? "" : " ") + std::string(buf);
    }
    return out;
}

// What the stack binds: addresses of interfaces that are up, loopback
// included, link-local ones not; each once, in one order whatever the list's.
TEST(HostAddrs, TheAddressesTheStackBinds) {
    const struct {
        std::vector<Iface> ifs;
        const char* want;
    } cases[] = {
        {{{"127.0.0.1", true}, {"::1", true}}, "127.0.0.1 ::1"},
        {{{"127.0.0.1", true}, {"fe80::1", true}, {"169.254.3.4", true}}, "127.0.0.1"},
        {{{"192.168.1.20", false}, {"127.0.0.1", true}}, "127.0.0.1"},
        {{{"::1", true}, {"10.0.0.5", true}, {"127.0.0.1", true}, {"2001:db8::5", true}},
         "10.0.0.5 127.0.0.1 ::1 2001:db8::5"},
        {{{"10.0.0.5", true}, {"10.0.0.5", true}}, "10.0.0.5"},  // on two interfaces
        {{}, ""},
    };
    for (const auto& c : cases) {
        IfList list(c.ifs);
        EXPECT_EQ(texts(host_addrs_of(list.head())), c.want);
    }
}

TEST(HostAddrs, ALookDiffersOnlyWhenAnAddressCameOrWent) {
    const std::vector<Iface> base = {{"127.0.0.1", true}, {"192.168.1.20", true}};
    const struct {
        std::vector<Iface> ifs;
        bool same;
    } cases[] = {
        {{{"192.168.1.20", true}, {"127.0.0.1", true}}, true},  // listed in another order
        {{{"127.0.0.1", true}, {"192.168.1.20", true}, {"fe80::2", true}}, true},
        {{{"127.0.0.1", true}}, false},                           // the lease lapsed
        {{{"127.0.0.1", true}, {"192.168.1.21", true}}, false},   // a new lease
        {{{"127.0.0.1", true}, {"192.168.1.20", false}}, false},  // its link went down
        {{{"127.0.0.1", true}, {"192.168.1.20", true}, {"10.1.1.1", true}}, false},
    };
    IfList first(base);
    for (const auto& c : cases) {
        IfList now(c.ifs);
        EXPECT_EQ(host_addrs_equal(host_addrs_of(first.head()), host_addrs_of(now.head())), c.same)
            << texts(host_addrs_of(now.head()));
    }
}

// More addresses than kept: the same ones are kept whatever the order, so a
// host with many does not look changed at every look.
TEST(HostAddrs, TooManyKeepsTheLowest) {
    std::vector<std::string> names;
    for (int i = 0; i < HOST_ADDRS_MAX + 8; ++i) names.push_back("10.0.0." + std::to_string(i + 1));
    std::vector<Iface> up, down;
    for (const std::string& n : names) up.push_back({n.c_str(), true});
    down.assign(up.rbegin(), up.rend());
    IfList a(up), b(down);
    HostAddrs ha = host_addrs_of(a.head());
    EXPECT_EQ(ha.n, int(HOST_ADDRS_MAX));
    EXPECT_TRUE(host_addrs_equal(ha, host_addrs_of(b.head())));
    char first[64];
    net_addr_text(ha.addr[0], first, sizeof first);
    EXPECT_STREQ(first, "10.0.0.1");
}

}  // namespace
