// The device's network comes and goes under its running SIP stack: it starts
// before DHCP has given it an address, and later its address changes (a new
// lease, another Wi-Fi network). Two network namespaces of this test's own,
// in a user namespace so that no privilege is needed: the SIP service with
// the owner's phone on one side of a veth pair, the device on the other, its
// end of the pair without an address at first.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "include/variant.h"
#include "tests/support/emulation.h"
#include "tests/support/files.h"
#include "tests/support/process.h"
#include "tests/support/sip_desk.h"

namespace {

const char kService[] = "10.9.0.1";
const char kDeviceFirst[] = "10.9.0.2";
const char kDeviceSecond[] = "10.9.0.3";

std::string ns_of(pid_t pid, const char* kind) {
    char link[64] = "";
    std::string path = "/proc/" + std::to_string(pid) + "/ns/" + kind;
    ssize_t n = readlink(path.c_str(), link, sizeof link - 1);
    return n > 0 ? std::string(link, size_t(n)) : "";
}

// A process that holds a namespace open for as long as the lab stands; ready
// once it has left the namespace it was started in and runs `sleep`.
std::unique_ptr<Process> holder(const std::vector<std::string>& argv, const std::string& from) {
    auto p = std::make_unique<Process>(argv);
    for (int i = 0; i < 500; ++i) {
        std::string comm = read_file("/proc/" + std::to_string(p->pid()) + "/comm");
        std::string net = ns_of(p->pid(), "net");
        if (comm == "sleep\n" && !net.empty() && net != from) return p;
        usleep(10000);
    }
    return nullptr;
}

class NetworkLab {
  public:
    // Empty when the lab stands, else why it could not be built.
    std::string build() {
        std::string own = ns_of(getpid(), "net");
        service_ = holder({"/usr/bin/unshare", "-rn", "sleep", "600"}, own);
        if (!service_) return "unshare -rn: no user and network namespace";
        device_ = holder(in(service_->pid(), {"/usr/bin/unshare", "-n", "sleep", "600"}, false),
                         ns_of(service_->pid(), "net"));
        if (!device_) return "no second network namespace";
        std::string out;
        std::string dev = std::to_string(device_->pid());
        if (on_service("ip link add v0 type veth peer name v1 netns " + dev + " && ip addr add " +
                           kService + "/24 dev v0 && ip link set v0 up && ip link set lo up",
                       &out) != 0)
            return "veth: " + out;
        // The device has loopback only, as before its first DHCP answer.
        if (on_device("ip link set lo up", &out) != 0) return "lo: " + out;
        return "";
    }
    // argv run in a namespace of the lab, as the user namespace's root (the
    // credentials kept: without privilege the groups cannot be set there).
    std::vector<std::string> in(pid_t holder, std::vector<std::string> argv, bool net = true) {
        std::vector<std::string> pre = {"/usr/bin/nsenter",
                                        "-t",
                                        std::to_string(holder),
                                        "-U",
                                        "--preserve-credentials",
                                        "-S",
                                        "0"};
        if (net) pre.push_back("-n");
        argv.insert(argv.begin(), pre.begin(), pre.end());
        return argv;
    }
    std::vector<std::string> on_service(std::vector<std::string> argv) {
        return in(service_->pid(), argv);
    }
    std::vector<std::string> on_device(std::vector<std::string> argv) {
        return in(device_->pid(), argv);
    }
    int on_service(const std::string& cmd, std::string* out = nullptr) {
        return run_to_end(on_service({"/bin/sh", "-c", cmd + " 2>&1"}), out, 30);
    }
    int on_device(const std::string& cmd, std::string* out = nullptr) {
        return run_to_end(on_device({"/bin/sh", "-c", cmd + " 2>&1"}), out, 30);
    }

  private:
    std::unique_ptr<Process> service_, device_;
};

// The test's folder and the service run in it, gone even when a check fails.
struct RunDir {
    std::string root = make_temp_dir("sipnetwork");
    std::string script = std::string(HOPPERD_SOURCE_DIR) + "/scripts/sip-service";
    ~RunDir() {
        run_to_end({script, "stop", root + "/kam"}, nullptr, 30);
        remove_tree(root);
    }
};

// Started with loopback only, the device registers once its address comes
// and the phone reaches it; when that address gives way to another it
// registers again from the new one, and the phone still reaches it.
TEST(SipNetwork, DeviceFollowsItsAddressesAsTheyComeAndChange) {
    NetworkLab lab;
    std::string why = lab.build();
    if (!why.empty()) GTEST_SKIP() << "no network lab: " << why;

    RunDir dir;
    const std::string& root = dir.root;
    std::string out;
    ASSERT_EQ(lab.on_service(dir.script + " start " + root + "/kam " + kService, &out), 0) << out;
    // The SIP port on every address the device has, whatever they become.
    mkdir((root + "/etc").c_str(), 0755);
    write_file(root + "/etc/hopperd.conf",
               std::string("cloud_host = 127.0.0.1\nsip_domain = feeder.test\n") +
                   "sip_outbound_proxy = sip:" + kService + ":5080\n");
    std::string bin =
        std::string(HOPPERD_SIM_BIN_DIR) + (kSilentBuild ? "/hopperd-sim-silent" : "/hopperd-sim");
    {
        Process device(lab.on_device({bin, "--root", root, "--speed", "200", "--sip-scale", "10"}));
        ASSERT_TRUE(device.wait_for(" pjsip  registration failed", 30)) << device.output();
        Phone owner{std::string("sip:") + kService + ":5080", std::string(kService) + ":5070",
                    sipid_of(device.output())};
        auto phone = [&](std::string* reply) {
            return run_to_end(lab.on_service(owner.argv({"sched-enum"}, 5)), reply, 30);
        };

        const struct {
            const char* what;
            std::string cmd;
        } changes[] = {
            {"DHCP answers",
             std::string("ip addr add ") + kDeviceFirst + "/24 dev v1 && ip link set v1 up"},
            {"a new lease, another address", std::string("ip addr del ") + kDeviceFirst +
                                                 "/24 dev v1 && ip addr add " + kDeviceSecond +
                                                 "/24 dev v1"},
        };
        for (const auto& change : changes) {
            SCOPED_TRACE(change.what);
            size_t before = device.output().size();
            ASSERT_EQ(lab.on_device(change.cmd, &out), 0) << out;
            ASSERT_TRUE(device.wait_for(" pjsip  registered", 20, before)) << device.output();
            std::string log = device.output().substr(before);
            EXPECT_NE(log.find(" pjsip  the host's addresses changed, transports bound again"),
                      std::string::npos)
                << log;
            EXPECT_EQ(phone(&out), 0) << out << device.output();
        }
        EXPECT_EQ(device.stop(SIGINT, 20), 0) << device.output();
    }
}

}  // namespace
