// The device over SIP through real processes: kamailio as the SIP service,
// hopperd-sim registered to it, the phone client and baresip as the owner.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <jansson.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <regex>

#include "include/variant.h"
#include "tests/support/cloud.h"
#include "tests/support/desk.h"
#include "tests/support/files.h"
#include "tests/support/process.h"

namespace {

const char kMac[] = "00:1a:2b:3c:4d:5e";

std::string bin(const char* name) {
    return std::string(HOPPERD_SIM_BIN_DIR) + "/" + name;
}
std::string daemon_bin() {
    return bin(kSilentBuild ? "hopperd-sim-silent" : "hopperd-sim");
}

int run(const std::vector<std::string>& argv, std::string* out, double seconds = 30) {
    Process p(argv);
    int rc = p.wait(seconds);
    if (out) *out = p.output();
    return rc;
}

// The reply body a phone printed: its first line that is a JSON object.
json_t* reply_of(const std::string& out) {
    size_t at = out.find("\n{");
    std::string line = out.rfind("{", 0) == 0    ? out
                       : at == std::string::npos ? ""
                                                 : out.substr(at + 1);
    line = line.substr(0, line.find('\n'));
    json_error_t err;
    return json_loads(line.c_str(), 0, &err);
}

std::string str(json_t* j, const char* key) {
    json_t* v = json_object_get(j, key);
    return json_is_string(v) ? json_string_value(v) : "<none>";
}

class OverSip : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = make_temp_dir("sip");
        kam_ = unused_loopback();
        dev_ = unused_loopback();
        phone_ = unused_loopback();
        std::string out;
        ASSERT_EQ(run({std::string(HOPPERD_SOURCE_DIR) + "/scripts/sip-service", "start",
                       root_ + "/kam", kam_},
                      &out),
                  0)
            << out;
        cloud_ = std::make_unique<CloudService>();
        ASSERT_TRUE(cloud_->ready());
        write_desk_conf(root_, {cloud_->addr(), dev_, "sip:" + kam_ + ":5080"});
        daemon_ = std::make_unique<Process>(std::vector<std::string>{
            daemon_bin(), "--root", root_, "--speed", "200", "--control", root_ + "/ctl.sock"});
        ASSERT_TRUE(daemon_->wait_for(" pjsip  registered", 20)) << daemon_->output();
        std::smatch m;
        std::string text = daemon_->output();
        ASSERT_TRUE(std::regex_search(text, m, std::regex("sipid ---> ([0-9a-f]{32})")));
        sipid_ = m[1];
    }
    void TearDown() override {
        if (daemon_) {
            EXPECT_EQ(daemon_->stop(SIGINT, 20), 0);
        }
        daemon_.reset();
        run({std::string(HOPPERD_SOURCE_DIR) + "/scripts/sip-service", "stop", root_ + "/kam"},
            nullptr);
        cloud_.reset();
        remove_tree(root_);
    }
    int phone(std::vector<std::string> args, std::string* out) {
        std::vector<std::string> argv = {bin("hopperd-phone"),
                                         "--proxy",
                                         "sip:" + kam_ + ":5080",
                                         "--listen",
                                         phone_ + ":5070",
                                         "--to",
                                         sipid_,
                                         "--product-id",
                                         kMac,
                                         "--timeout",
                                         "20"};
        argv.insert(argv.end(), args.begin(), args.end());
        return run(argv, out, 40);
    }
    std::string sched_file() { return read_file(root_ + "/etc/feed_sched.conf"); }

    std::string root_, kam_, dev_, phone_, sipid_;
    std::unique_ptr<CloudService> cloud_;
    std::unique_ptr<Process> daemon_;
};

TEST_F(OverSip, ManualFeedingFromThePhone) {
    std::string out;
    ASSERT_EQ(phone({"feed", "30", "1"}, &out), 0) << out;
    EXPECT_NE(out.find("MESSAGE: 200"), std::string::npos) << out;
    EXPECT_TRUE(cloud_->wait_message("/Ovexa/api/feeding-log", "g 제공", 20)) << daemon_->output();
    EXPECT_TRUE(cloud_->wait_message("/Ovexa/api/messaging", "g 제공되었습니다. ", 5));
}

TEST_F(OverSip, ScheduleRoundTrip) {
    std::string out;
    ASSERT_EQ(phone({"sched-append", "breakfast", "07:05", "30", "mon,thur", "2", "w1"}, &out), 0)
        << out;
    json_t* r = reply_of(out);
    EXPECT_EQ(str(r, "cmd"), "feeding-schedule-append-res");
    EXPECT_EQ(str(r, "errorCode"), "200");
    EXPECT_EQ(str(r, "productId"), kMac);
    json_decref(r);
    EXPECT_NE(sched_file().find("\"feedTime\": \"7:5\""), std::string::npos) << sched_file();

    ASSERT_EQ(phone({"sched-enum"}, &out), 0) << out;
    r = reply_of(out);
    json_t* first = json_array_get(json_object_get(r, "feedingSchedules"), 0);
    EXPECT_EQ(str(first, "uuid"), "breakfast");
    EXPECT_EQ(str(first, "feedTime"), "07:05");
    EXPECT_EQ(json_array_size(json_object_get(first, "feedDaysOfTheWeek")), 2u);
    json_decref(r);

    ASSERT_EQ(phone({"sched-modify", "breakfast", "9:15", "45", "sun", "1"}, &out), 0) << out;
    r = reply_of(out);
    EXPECT_EQ(str(r, "cmd"), "feeding-schedule-modify-res");
    json_decref(r);
    EXPECT_NE(sched_file().find("\"feedTime\": \"9:15\""), std::string::npos);
    EXPECT_NE(sched_file().find("\"feedAmount\": \"45\""), std::string::npos);

    ASSERT_EQ(phone({"sched-delete", "breakfast", "lunch"}, &out), 0) << out;
    r = reply_of(out);
    json_t* results = json_object_get(r, "error");
    ASSERT_EQ(json_array_size(results), 2u) << out;
    EXPECT_EQ(str(json_array_get(results, 0), "code"), "200");
    EXPECT_EQ(str(json_array_get(results, 1), "code"), "404");
    json_decref(r);
    EXPECT_EQ(sched_file(), "[]");
}

TEST_F(OverSip, UnknownCommandIs501) {
    std::string out;
    ASSERT_EQ(
        phone(
            {"raw", std::string("{\"ver\":\"1.0.0\",\"cmd\":\"make-coffee-req\",\"productId\":\"") +
                        kMac + "\"}"},
            &out),
        0)
        << out;
    json_t* r = reply_of(out);
    EXPECT_EQ(str(r, "errorCode"), "501");
    EXPECT_EQ(str(r, "errorMessage"), "실행할 수 없는 명령입니다.");
    EXPECT_EQ(json_object_get(r, "cmd"), nullptr);
    json_decref(r);
}

// baresip, a phone nobody here wrote: it dials the device and messages it.
TEST_F(OverSip, BaresipCallIsRefusedAndItsMessageAnswered) {
    std::string dir = root_ + "/baresip";
    std::string addr = unused_loopback();
    mkdir(dir.c_str(), 0755);
    write_file(dir + "/config",
               "poll_method epoll\nsip_listen " + addr +
                   ":5070\nmodule_path /usr/lib/baresip/modules\n"
                   "module stdio.so\nmodule_app account.so\nmodule_app contact.so\n"
                   "module_app menu.so\n");
    write_file(dir + "/accounts", "<sip:owner@feeder.test>;auth_pass=qabro4821;outbound=\"sip:" +
                                      kam_ + ":5080\";regint=300\n");
    write_file(dir + "/contacts", "<sip:" + sipid_ + "@feeder.test>\n");
    std::string request =
        std::string("{\"ver\":\"1.0.0\",\"cmd\":\"feeding-schedule-enum-req\",\"productId\":\"") +
        kMac + "\"}";
    std::string script = "{ sleep 2; printf '/dial sip:" + sipid_ + "@feeder.test\\n'; sleep 2; " +
                         "printf '/message " + request +  // to the contact: the device
                         "\\n'; sleep 3; printf '/quit\\n'; } | baresip -n " + addr + " -f " + dir +
                         " -t 12";
    std::string out;
    run({"/bin/sh", "-c", script}, &out, 30);
    EXPECT_NE(out.find("405 No Support for Incoming Calls"), std::string::npos) << out;
    EXPECT_NE(out.find("feeding-schedule-enum-res"), std::string::npos) << out;
    EXPECT_NE(daemon_->output().find(" pjsip  Incoming call from sip:owner@feeder.test!!"),
              std::string::npos);
}

TEST(SipPort, TakenPortEndsStartUp) {
    std::string root = make_temp_dir("sipport");
    std::string addr = unused_loopback();
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(5060);
    inet_pton(AF_INET, addr.c_str(), &a.sin_addr);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    write_desk_conf(root, {"", addr, ""});
    std::string out;
    int rc = run({daemon_bin(), "--root", root, "--speed", "200"}, &out, 30);
    EXPECT_EQ(rc, 1) << out;
    EXPECT_NE(out.find("Error creating transport"), std::string::npos) << out;
    close(s);
    remove_tree(root);
}

}  // namespace
