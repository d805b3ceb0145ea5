// The device behind a NAT: three network namespaces of this test's own, the
// device on a home network, a router that masquerades it, and the SIP
// service with the owner's phone on the far side. The router forgets an idle
// UDP mapping after 3 s (a NAT that forgets after 30 s, at the device's
// --sip-scale 10); the phone must still reach the device long after that.
// Namespaces need root, as CI has; elsewhere the test is skipped.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <memory>

#include "include/variant.h"
#include "tests/support/desk.h"
#include "tests/support/emulation.h"
#include "tests/support/files.h"
#include "tests/support/process.h"
#include "tests/support/sip_desk.h"

namespace {

const char kDevice[] = "192.168.7.2";
const char kRouterInside[] = "192.168.7.1";
const char kRouterOutside[] = "10.7.0.2";
const char kService[] = "10.7.0.1";
const int kNatForgetsS = 3;

int sh(const std::string& cmd, std::string* out = nullptr) {
    return run_to_end({"/bin/sh", "-c", cmd + " 2>&1"}, out, 30);
}

// The three namespaces, named after this process so parallel runs never meet.
class NatLab {
  public:
    NatLab() {
        std::string tag = "h11nat" + std::to_string(getpid());
        lan_ = tag + "lan";
        router_ = tag + "rtr";
        wan_ = tag + "wan";
    }
    ~NatLab() {
        for (const std::string& ns : {lan_, router_, wan_}) sh("ip netns del " + ns);
    }
    // Empty when the lab stands, else why it could not be built.
    std::string build() {
        if (geteuid() != 0) return "network namespaces need root";
        std::string out;
        if (sh("command -v iptables", &out) != 0) return "iptables is not installed";
        for (const std::string& ns : {lan_, router_, wan_})
            if (sh("ip netns add " + ns, &out) != 0) return "ip netns add: " + out;
        const std::string steps[] = {
            "ip link add name in0 netns " + lan_ + " type veth peer name in1 netns " + router_,
            "ip link add name out0 netns " + wan_ + " type veth peer name out1 netns " + router_,
            "ip -n " + lan_ + " addr add " + kDevice + "/24 dev in0",
            "ip -n " + router_ + " addr add " + kRouterInside + "/24 dev in1",
            "ip -n " + router_ + " addr add " + kRouterOutside + "/24 dev out1",
            "ip -n " + wan_ + " addr add " + kService + "/24 dev out0",
            // Each side talks to its own addresses over lo too.
            "ip -n " + lan_ + " link set lo up",
            "ip -n " + router_ + " link set lo up",
            "ip -n " + wan_ + " link set lo up",
            "ip -n " + lan_ + " link set in0 up",
            "ip -n " + router_ + " link set in1 up",
            "ip -n " + router_ + " link set out1 up",
            "ip -n " + wan_ + " link set out0 up",
            "ip -n " + lan_ + " route add default via " + kRouterInside,
            in(router_) + "sysctl -qw net.ipv4.ip_forward=1",
            in(router_) + "iptables -t nat -A POSTROUTING -o out1 -j MASQUERADE",
            // Both the first and the answered state of a mapping lapse soon.
            in(router_) +
                "sysctl -qw net.netfilter.nf_conntrack_udp_timeout=" + std::to_string(kNatForgetsS),
            in(router_) + "sysctl -qw net.netfilter.nf_conntrack_udp_timeout_stream=" +
                std::to_string(kNatForgetsS),
        };
        for (const std::string& step : steps)
            if (sh(step, &out) != 0) return step + ": " + out;
        return "";
    }
    std::string in(const std::string& ns) const { return "ip netns exec " + ns + " "; }
    std::vector<std::string> argv_in(const std::string& ns, std::vector<std::string> argv) const {
        argv.insert(argv.begin(), {"/sbin/ip", "netns", "exec", ns});
        return argv;
    }
    std::string lan_, router_, wan_;
};

TEST(BehindNat, PhoneReachesTheDeviceAfterTheNatTimeOut) {
    NatLab lab;
    std::string why = lab.build();
    if (!why.empty()) GTEST_SKIP() << "no NAT lab: " << why;

    std::string root = make_temp_dir("sipnat");
    std::string script = std::string(HOPPERD_SOURCE_DIR) + "/scripts/sip-service";
    std::string out;
    ASSERT_EQ(sh(lab.in(lab.wan_) + script + " start " + root + "/kam " + kService, &out), 0)
        << out;
    write_desk_conf(root, {"127.0.0.1", kDevice, std::string("sip:") + kService + ":5080"});
    std::string bin =
        std::string(HOPPERD_SIM_BIN_DIR) + (kSilentBuild ? "/hopperd-sim-silent" : "/hopperd-sim");
    {
        Process device(
            lab.argv_in(lab.lan_, {bin, "--root", root, "--speed", "200", "--sip-scale", "10"}));
        ASSERT_TRUE(device.wait_for(" pjsip  registered", 30)) << device.output();
        // The service saw the router's address: the device took it as its contact.
        EXPECT_NE(device.output().find(" pjsip  outbound: 101 NAT detected"), std::string::npos);

        Phone owner{std::string("sip:") + kService + ":5080", std::string(kService) + ":5070",
                    sipid_of(device.output())};
        auto phone = [&](std::string* reply) {
            return run_to_end(lab.argv_in(lab.wan_, owner.argv({"sched-enum"}, 5)), reply, 30);
        };
        ASSERT_EQ(phone(&out), 0) << out << device.output();
        // Idle for three times the NAT's time-out: only keep-alives pass.
        sleep(3 * kNatForgetsS);
        EXPECT_EQ(phone(&out), 0) << out << device.output();
        EXPECT_EQ(device.stop(SIGINT, 20), 0) << device.output();
    }
    sh(script + " stop " + root + "/kam");
    remove_tree(root);
}

}  // namespace
