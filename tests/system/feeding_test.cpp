// Whole feedings: hopperd-sim at high speed with the local cloud service.
#include <gtest/gtest.h>
#include <jansson.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "include/feed_cmd.h"
#include "include/variant.h"
#include "tests/support/cloud.h"
#include "tests/support/desk.h"
#include "tests/support/process.h"
#include "tests/support/sim_fixture.h"

namespace {

class Feeding : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = make_temp_dir("feeding");
        sock_ = root_ + "/ctl.sock";
        cloud_ = std::make_unique<CloudService>();
        ASSERT_TRUE(cloud_->ready());
        mkdir((root_ + "/etc").c_str(), 0755);
        write_desk_conf(root_, {cloud_->addr(), "", ""});
        std::string bin = std::string(HOPPERD_SIM_BIN_DIR) +
                          (kSilentBuild ? "/hopperd-sim-silent" : "/hopperd-sim");
        daemon_ = std::make_unique<Process>(
            std::vector<std::string>{bin, "--root", root_, "--speed", "200", "--control", sock_});
        ASSERT_TRUE(daemon_->wait_for("        sipid ---> ", 20)) << daemon_->output();
        ASSERT_EQ(ctl(R"({"op":"set","pet_appetite":12,"pet_pace":0.5,"portion_noise":1})"),
                  "{\"ok\":true}");
    }
    void TearDown() override {
        if (daemon_) {
            EXPECT_EQ(daemon_->stop(SIGINT, 20), 0) << daemon_->output();
        }
        daemon_.reset();
        cloud_.reset();
        remove_tree(root_);
    }
    std::string ctl(const std::string& req) { return control_request(sock_, req); }
    int feed(int grams, const char* melody = "1") {
        std::string reply = ctl("{\"op\":\"feed\",\"amount\":" + std::to_string(grams) +
                                ",\"melody\":\"" + melody + "\"}");
        std::smatch m;
        return std::regex_search(reply, m, std::regex("\"reply\":(\\d+)")) ? std::stoi(m[1]) : -1;
    }
    double state_number(const char* key) {
        std::string s = ctl(R"({"op":"state"})");
        std::smatch m;
        std::regex re(std::string("\"") + key + "\":(-?[0-9.]+)");
        return std::regex_search(s, m, re) ? std::stod(m[1]) : -999;
    }
    std::vector<std::string> messages() { return cloud_->messages("/Ovexa/api/messaging"); }

    std::string root_, sock_;
    std::unique_ptr<CloudService> cloud_;
    std::unique_ptr<Process> daemon_;
};

TEST_F(Feeding, RegistersAtFirstStartAndSaysItStarted) {
    auto recs = cloud_->records();
    ASSERT_FALSE(recs.empty());
    EXPECT_EQ(recs[0].method, "POST");
    EXPECT_EQ(recs[0].path, "/Ovexa/api/product");
    EXPECT_EQ(recs[0].field("job"), "register");
    EXPECT_EQ(recs[0].field("id"), "00:1a:2b:3c:4d:5e");
    std::string conf = read_file(root_ + "/etc/feeder.conf");
    std::string sipid = conf.substr(5, 36);
    std::erase(sipid, '-');
    EXPECT_EQ(recs[0].field("sip-username"), sipid);
    bool started = cloud_->wait_message("/Ovexa/api/messaging", "Start Tolvik V0606.03.audio ", 5);
    EXPECT_EQ(started, !kSilentBuild);
}

TEST_F(Feeding, ServesWeighsTheRestAndReports) {
    ASSERT_EQ(feed(30), __FEED_DONE) << daemon_->output();
    ASSERT_TRUE(cloud_->wait_message("/Ovexa/api/feeding-log", "g 제공", 5));
    std::string log = cloud_->messages("/Ovexa/api/feeding-log")[0];
    std::smatch m;
    ASSERT_TRUE(std::regex_match(log, m, std::regex("(\\d+)g 제공")));
    int served = std::stoi(m[1]);
    EXPECT_GE(served, 24);
    EXPECT_LE(served, 36);
    bool found = false;
    for (const std::string& msg : messages()) {
        std::string want = "${product.alias} " + std::to_string(served) + "g 제공되었습니다. 20";
        found |= msg.rfind(want, 0) == 0;
    }
    EXPECT_TRUE(found);

    // Ten virtual minutes later the rest is weighed: 3 s of real time.
    ASSERT_TRUE(cloud_->wait_message("/Ovexa/api/messaging", "먹었습니다.", 15))
        << daemon_->output();
    int eaten = -1000, tried = -1;
    for (const std::string& msg : messages()) {
        if (std::regex_search(msg, m, std::regex("(\\d+)g/(-?\\d+)g 먹었습니다\\."))) {
            tried = std::stoi(m[1]);
            eaten = std::stoi(m[2]);
        }
    }
    EXPECT_EQ(tried, served);
    double pet = state_number("pet_eaten");
    EXPECT_NEAR(eaten, pet, 3.0);  // within the dead band and the truncation
}

TEST_F(Feeding, SecondRequestEndsTheRunningSession) {
    ASSERT_EQ(feed(20), __FEED_DONE);
    ASSERT_EQ(feed(20), __FEED_STOP);
    EXPECT_TRUE(cloud_->wait_message("/Ovexa/api/messaging", "급식을 중단 합니다.", 5));
    // fed_at moved back: the monitor weighs at its next pass, not ten minutes on.
    EXPECT_TRUE(cloud_->wait_message("/Ovexa/api/messaging", "먹었습니다.", 2));
}

TEST_F(Feeding, BowlTakenAwayAndEmptyHopper) {
    ASSERT_EQ(ctl(R"({"op":"bowl","present":false})"), "{\"ok\":true}");
    EXPECT_EQ(feed(30), __FEED_FAIL);
    EXPECT_TRUE(
        cloud_->wait_message("/Ovexa/api/messaging", "그릇이 빠진것같습니다. 확인해주세요.", 5));
    ASSERT_EQ(ctl(R"({"op":"bowl","present":true})"), "{\"ok\":true}");
    EXPECT_EQ(feed(30), __FEED_STOP);  // the bowl left out is brought back in first
    EXPECT_TRUE(cloud_->wait_message("/Ovexa/api/messaging", "급식구를 닫습니다.", 5));
    ASSERT_EQ(ctl(R"({"op":"set","hopper":10})"), "{\"ok\":true}");
    EXPECT_EQ(feed(30), __FEED_EMPTY);
    EXPECT_TRUE(cloud_->wait_message("/Ovexa/api/messaging", "사료가 부족합니다....", 5));
}

TEST_F(Feeding, CloudServiceDownChangesNothingButTheReports) {
    cloud_.reset();  // nobody answers any more
    EXPECT_EQ(feed(15), __FEED_DONE);
    EXPECT_EQ(feed(15), __FEED_STOP);
}

// One MCU reply later than its window used to put every later reply one
// command out of step: the next feeding read main's LED echoes for sensor
// words ("사료그릇이 멈추었습니다." for a bowl that had gone out, no eaten
// report) and the owner was told the hopper was low again and again.
TEST_F(Feeding, OneLateMcuReplyCostsNoFeeding) {
    ASSERT_EQ(ctl(R"({"op":"fault","target":"mcu","kind":"late","count":1,"delay_ms":800})"),
              "{\"ok\":true}");
    usleep(1500 * 1000);  // main's LED toggles meet the late reply
    ASSERT_EQ(feed(30), __FEED_DONE) << daemon_->output();
    ASSERT_TRUE(cloud_->wait_message("/Ovexa/api/messaging", "먹었습니다.", 15))
        << daemon_->output();
    usleep(500 * 1000);
    int served = 0, eaten = 0, other = 0;
    for (const std::string& msg : messages()) {
        printf("owner: %s\n", msg.c_str());
        served += msg.find("g 제공되었습니다.") != std::string::npos;
        eaten += msg.find("먹었습니다.") != std::string::npos;
        other += msg.find("멈추었습니다") != std::string::npos ||
                 msg.find("부족합니다") != std::string::npos ||
                 msg.find("빠져 있습니다") != std::string::npos;
    }
    EXPECT_EQ(served, 1);
    EXPECT_EQ(eaten, 1);
    EXPECT_EQ(other, 0);
}

}  // namespace
