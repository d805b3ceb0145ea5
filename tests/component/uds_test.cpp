// The manual feeding service on its local datagram socket.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "feeder/feeder.h"
#include "gpio/gpio.h"
#include "include/feed_cmd.h"
#include "include/result_codes.h"
#include "tests/support/feeder_fixture.h"
#include "uds/uds.h"

namespace {

class FeedService : public FeederTest {
  protected:
    void SetUp() override {
        FeederTest::SetUp();
        server_ = uds_open(UDS_SERVER);
        ASSERT_GE(server_, 0);
        client_ = uds_open(UDS_CLIENT);
        ASSERT_GE(client_, 0);
    }
    void TearDown() override {
        close(server_);
        uds_close(client_);
        FeederTest::TearDown();
    }
    // Sends `bytes` as one datagram, lets the service handle it, returns the reply code.
    int32_t exchange(const void* bytes, size_t len, int* rc = nullptr) {
        EXPECT_EQ(send(client_, bytes, len, 0), ssize_t(len));
        int r = uds_r_event(server_);
        if (rc) *rc = r;
        FeedCmd reply;
        memset(&reply, 0xEE, sizeof reply);
        EXPECT_EQ(recv(client_, &reply, sizeof reply, MSG_DONTWAIT), ssize_t(sizeof reply));
        return reply.cmd;
    }
    int32_t request(int32_t cmd, int32_t grams, const char* melody = "1") {
        FeedCmd req;
        memset(&req, 0, sizeof req);
        req.cmd = cmd;
        req.feed_amount = grams;
        snprintf(req.melody, sizeof req.melody, "%s", melody);
        return exchange(&req, sizeof req);
    }
    int64_t now() { return world().clock().now_us() / 1000000; }
    int server_ = -1, client_ = -1;
};

TEST_F(FeedService, FeedsAndAnswersDone) {
    StdoutCapture out;
    int rc = 0;
    FeedCmd req;
    memset(&req, 0, sizeof req);
    req.cmd = __FEED_REQ;
    req.feed_amount = 30;
    req.melody[0] = '1';
    EXPECT_EQ(exchange(&req, sizeof req, &rc), __FEED_DONE);
    EXPECT_EQ(rc, __UDS_DONE);
    EXPECT_NE(f_->in_manual, nullptr);
    std::string text = out.text();
    EXPECT_NE(text.find("uds_r_event entered\n"), std::string::npos);
    EXPECT_NE(text.find("return __UDS_DONE ( 21 ) @ "), std::string::npos);
    EXPECT_NE(text.find(" , uds_r_event\n"), std::string::npos);
}

TEST_F(FeedService, OtherCommandsAnswerNone) {
    size_t before = mcu_codes().size();
    EXPECT_EQ(request(2, 30), __FEED_NONE);
    EXPECT_EQ(request(-1, 30), __FEED_NONE);
    EXPECT_EQ(mcu_codes().size(), before);
}

TEST_F(FeedService, RequestDuringAManualSessionEndsIt) {
    open_session(true, now() - 10, 30);
    size_t before = mcu_codes().size();
    EXPECT_EQ(request(__FEED_REQ, 30), __FEED_STOP);
    EXPECT_EQ(f_->in_manual->fed_at, now() - 610);
    EXPECT_EQ(mcu_codes().size(), before);
    EXPECT_TRUE(cloud_->wait_message("/Ovexa/api/messaging", "급식을 중단 합니다.", 5));
}

TEST_F(FeedService, RequestDuringAScheduledSessionEndsThatOne) {
    open_session(false, now() - 10, 30);
    EXPECT_EQ(request(__FEED_REQ, 30), __FEED_STOP);
    EXPECT_EQ(f_->in_schedule->fed_at, now() - 610);
    EXPECT_EQ(f_->in_manual, nullptr);
}

TEST_F(FeedService, BowlLeftOutIsBroughtInFirst) {
    f_->bowl_missing = 1;
    set_bowl(sim::BowlPos::Out);
    int64_t t0 = world().clock().monotonic_us();
    size_t before = mcu_codes().size();
    EXPECT_EQ(request(__FEED_REQ, 30), __FEED_STOP);
    EXPECT_GE(world().clock().monotonic_us() - t0, 17000000);
    auto codes = mcu_codes();
    std::vector<std::string> tail(codes.begin() + long(before), codes.end());
    EXPECT_EQ(tail, std::vector<std::string>{"12"});  // no sensor read first
    EXPECT_EQ(f_->bowl_missing, 0);
    EXPECT_TRUE(cloud_->wait_message("/Ovexa/api/messaging", "급식구를 닫습니다.", 5));
    EXPECT_EQ(request(__FEED_REQ, 30), __FEED_DONE);  // the next one feeds
}

TEST_F(FeedService, ZeroGramsStillServes) {
    EXPECT_EQ(request(__FEED_REQ, 0), __FEED_DONE);
}

TEST_F(FeedService, EmptyHopperAnswersEmpty) {
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().phys.hopper_grams = 20;
    }
    EXPECT_EQ(request(__FEED_REQ, 30), __FEED_EMPTY);
    EXPECT_TRUE(cloud_->wait_message("/Ovexa/api/messaging", "사료가 부족합니다....", 5));
}

TEST_F(FeedService, MissingBowlAnswersFail) {
    set_bowl(sim::BowlPos::Out);
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().phys.bowl_present = false;
    }
    EXPECT_EQ(request(__FEED_REQ, 30), __FEED_FAIL);
    EXPECT_EQ(f_->bowl_missing, 1);
}

TEST_F(FeedService, ShortLongAndGarbageDatagrams) {
    int32_t one = __FEED_REQ;  // four bytes: a request for 0 g with no melody
    EXPECT_EQ(exchange(&one, sizeof one), __FEED_DONE);
    set_bowl(sim::BowlPos::In);
    {
        std::lock_guard<std::mutex> hold(f_->lock);
        f_->in_manual.reset();
    }
    std::vector<unsigned char> big(5000, 0xFF);  // cmd -1 and no NUL anywhere
    EXPECT_EQ(exchange(big.data(), big.size()), __FEED_NONE);
    unsigned char junk[7] = {1, 2, 3, 4, 5, 6, 7};
    EXPECT_EQ(exchange(junk, sizeof junk), __FEED_NONE);
    EXPECT_EQ(exchange(junk, 0), __FEED_NONE);  // an empty datagram
}

TEST_F(FeedService, ReplyToAVanishedSenderIsAnError) {
    int lone = uds_socket((root_ + "/tmp/gone.sock").c_str(), nullptr);
    ASSERT_GE(lone, 0);
    struct sockaddr_un to;
    memset(&to, 0, sizeof to);
    to.sun_family = AF_UNIX;
    snprintf(to.sun_path, sizeof to.sun_path, "%s/tmp/server.sock", root_.c_str());
    FeedCmd req;
    memset(&req, 0, sizeof req);
    req.cmd = 2;
    ASSERT_EQ(sendto(lone, &req, sizeof req, 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
              ssize_t(sizeof req));
    close(lone);
    unlink((root_ + "/tmp/gone.sock").c_str());
    StdoutCapture out;
    EXPECT_EQ(uds_r_event(server_), __UDS_ERROR);
    EXPECT_NE(out.text().find("return __UDS_ERROR ( 20 ) @ "), std::string::npos);
}

TEST_F(FeedService, StaleSocketFilesAreReplaced) {
    close(server_);
    uds_close(client_);
    write_file(root_ + "/tmp/server.sock", "stale");
    write_file(root_ + "/tmp/client.sock", "stale");
    server_ = uds_open(UDS_SERVER);
    client_ = uds_open(UDS_CLIENT);
    ASSERT_GE(server_, 0);
    ASSERT_GE(client_, 0);
    EXPECT_EQ(request(2, 0), __FEED_NONE);
    uds_close(client_);
    struct stat st;
    EXPECT_NE(stat((root_ + "/tmp/client.sock").c_str(), &st), 0);
    EXPECT_NE(stat((root_ + "/tmp/server.sock").c_str(), &st), 0);
    client_ = uds_open(UDS_CLIENT);  // for TearDown; the server file is gone, so this fails
    EXPECT_EQ(client_, -1);
}

// The feeding service's diagnostics: "@ N" is the line of the return
// statement itself.
TEST_F(FeedService, ResultLinesCarryTheLineOfTheirReturn) {
    // The last mention of a code in the source is the statement that returns it.
    auto return_line = [](const char* code) {
        std::string src = read_file(std::string(HOPPERD_SOURCE_DIR) + "/uds/uds.cpp");
        int line = 0, found = 0;
        size_t pos = 0;
        while (pos < src.size()) {
            size_t nl = src.find('\n', pos);
            if (nl == std::string::npos) nl = src.size();
            ++line;
            if (src.substr(pos, nl - pos).find(code) != std::string::npos) found = line;
            pos = nl + 1;
        }
        return found;
    };
    StdoutCapture out;
    EXPECT_EQ(request(2, 0), __FEED_NONE);
    EXPECT_NE(out.text().find("return __UDS_DONE ( 21 ) @ " +
                              std::to_string(return_line("__UDS_DONE")) + " , uds_r_event\n"),
              std::string::npos)
        << out.text();
}

// Without a calibration (the load cell said nothing at start-up) a feeding
// used to weigh against a base of -1 and report "2311g 제공되었습니다.".
TEST_F(FeedService, WithoutAScaleFeedingsAreRefusedUntilItAnswers) {
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().adc.fault = sim::AdcFault::Markerless;
        world().adc.fault_count = -1;
    }
    calibrate();
    ASSERT_FALSE(feeder_scale_ready());
    auto moves = [this] {
        int n = 0;
        for (const char* c : {"11", "12", "13", "14"}) n += count_code(c);
        return n;
    };
    int before = moves();
    {
        StdoutCapture out;
        EXPECT_EQ(request(__FEED_REQ, 30), __FEED_FAIL);
        EXPECT_NE(out.text().find("manual feed : the scale is not calibrated, nothing dispensed"),
                  std::string::npos);
    }
    EXPECT_EQ(moves(), before);  // the probe said nothing: the bowl was left alone
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().adc.fault = sim::AdcFault::None;
    }
    EXPECT_EQ(request(__FEED_REQ, 30), __FEED_DONE);
    EXPECT_TRUE(feeder_scale_ready());
    EXPECT_EQ(f_->ldcell_base, 300000);
    ASSERT_TRUE(cloud_->wait_message("/Ovexa/api/messaging", "제공되었습니다.", 5));
    auto m = messages();
    EXPECT_EQ(std::count_if(m.begin(), m.end(),
                            [](const std::string& t) {
                                return t.rfind(std::string(kAlias) + "28g 제공되었습니다.", 0) == 0;
                            }),
              1);
}

}  // namespace
