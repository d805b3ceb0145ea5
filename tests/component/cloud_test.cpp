// Cloud reports against the local cloud service.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "include/feeder.h"
#include "include/result_codes.h"
#include "net/cloud.h"
#include "platform/run_flag.h"
#include "tests/support/cloud.h"
#include "tests/support/sim_fixture.h"

namespace {

double now_s() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

class Cloud : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        feeder_reset(get_feeder());
        snprintf(get_feeder()->product_id, sizeof get_feeder()->product_id, "00:11:22:33:44:55");
        snprintf(get_feeder()->sipid, sizeof get_feeder()->sipid,
                 "0123456789abcdef0123456789abcdef");
        cloud_init();
        // The outbox lives as long as the process: what an earlier test left
        // kept goes to its file, and the file goes, as for a fresh start.
        cloud_save_kept();
        unlink((root_ + "/etc/cloud_kept.conf").c_str());
    }
    // Runs one notification against a service in `mode`; returns seconds taken.
    double timed_notify(CloudService& svc, const char* msg, int kind, int* rc) {
        use_cloud_host(root_, svc.addr());
        double t0 = now_s();
        *rc = cloud_notify(msg, kind);
        return now_s() - t0;
    }
};

TEST_F(Cloud, RequestTextsEncodeTheMessageOnly) {
    use_cloud_host(root_, "cloud.test");
    char buf[1024];
    ASSERT_EQ(cloud_get_request(buf, sizeof buf, "abc", CLOUD_MESSAGE), 0);
    EXPECT_STREQ(buf,
                 "GET /Ovexa/api/messaging?job=add&product-id=00:11:22:33:44:55&message="
                 "%24%7Bproduct.alias%7D%20abc HTTP/1.1\r\nHost: cloud.test:8080\r\n\r\n");
    ASSERT_EQ(cloud_get_request(buf, sizeof buf, "abc", CLOUD_FEEDING_LOG), 0);
    EXPECT_STREQ(buf,
                 "GET /Ovexa/api/feeding-log?job=add&product-id=00:11:22:33:44:55&message=abc "
                 "HTTP/1.1\r\nHost: cloud.test:8080\r\n\r\n");
    ASSERT_EQ(cloud_post_body(buf, sizeof buf, "abc", CLOUD_MESSAGE), 0);
    EXPECT_STREQ(buf, "job=add&product-id=00:11:22:33:44:55&message=${product.alias} abc");
    ASSERT_EQ(cloud_post_body(buf, sizeof buf, "30g 제공", CLOUD_FEEDING_LOG), 0);
    EXPECT_STREQ(buf, "job=add&product-id=00:11:22:33:44:55&message=30g%20%EC%A0%9C%EA%B3%B5");
    ASSERT_EQ(cloud_post_body(buf, sizeof buf, get_feeder()->sipid, CLOUD_REGISTER), 0);
    EXPECT_STREQ(buf,
                 "job=register&id=00:11:22:33:44:55&sip-username=0123456789abcdef0123456789abcdef");
}

TEST_F(Cloud, OverlongMessageIsNotSentCut) {
    std::string longest(400, 'x');  // 400 Korean-sized bytes encode past the buffer
    std::string korean;
    for (int i = 0; i < 120; ++i) korean += "가";
    char buf[1024];
    EXPECT_EQ(cloud_get_request(buf, sizeof buf, korean.c_str(), CLOUD_MESSAGE), -1);
    EXPECT_EQ(cloud_get_request(buf, sizeof buf, longest.c_str(), CLOUD_MESSAGE), 0);
    use_cloud_host(root_, unused_loopback());
    StdoutCapture out;
    EXPECT_EQ(cloud_notify(korean.c_str(), CLOUD_MESSAGE), __HTTP_ERROR);
    EXPECT_NE(out.text().find("cloud_notify : message too long, not sent"), std::string::npos);
}

TEST_F(Cloud, ServiceClosingAfterItsAnswerEndsTheReadAtOnce) {
    CloudService svc("close");
    ASSERT_TRUE(svc.ready());
    int rc = 0;
    StdoutCapture out;
    double took = timed_notify(svc, "사료가 부족합니다.", CLOUD_MESSAGE, &rc);
    EXPECT_EQ(rc, __HTTP_DONE);
    EXPECT_LT(took, 0.8);
    std::string text = out.text();
    EXPECT_NE(text.find("Received "), std::string::npos);
    EXPECT_NE(text.find("%24%7Bproduct.alias%7D%20%EC%82%AC"), std::string::npos);
    ASSERT_TRUE(svc.wait_message("/Ovexa/api/messaging", "사료가 부족합니다.", 5));
    auto recs = svc.records();
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].method, "GET");
    EXPECT_EQ(recs[0].message, "${product.alias} 사료가 부족합니다.");
    EXPECT_EQ(recs[0].field("product-id"), "00:11:22:33:44:55");
    EXPECT_EQ(recs[0].field("job"), "add");
}

TEST_F(Cloud, ServiceKeepingTheConnectionEndsTheReadAfterASecond) {
    CloudService svc("keep-open");
    ASSERT_TRUE(svc.ready());
    int rc = 0;
    double took = timed_notify(svc, "30g 제공", CLOUD_FEEDING_LOG, &rc);
    EXPECT_EQ(rc, __HTTP_DONE);
    EXPECT_GE(took, 0.9);
    EXPECT_LT(took, 3.0);
    EXPECT_EQ(svc.messages("/Ovexa/api/feeding-log"), std::vector<std::string>{"30g 제공"});
}

TEST_F(Cloud, SlowServiceIsNotWaitedFor) {
    CloudService svc("slow", 3000);
    ASSERT_TRUE(svc.ready());
    int rc = 0;
    double took = timed_notify(svc, "abc", CLOUD_MESSAGE, &rc);
    EXPECT_EQ(rc, __HTTP_DONE);  // the answer is not what a notification waits for
    EXPECT_LT(took, 2.5);
}

TEST_F(Cloud, ServiceThatNeverReadsStillTakesTheRequestBytes) {
    // A fresh connection always has room for one short request, so the write
    // wait passes; the read loop then ends a second after nothing came back.
    CloudService svc("no-read");
    ASSERT_TRUE(svc.ready());
    int rc = 0;
    double took = timed_notify(svc, "abc", CLOUD_MESSAGE, &rc);
    EXPECT_EQ(rc, __HTTP_DONE);
    EXPECT_GE(took, 0.9);
    EXPECT_LT(took, 3.0);
}

TEST_F(Cloud, RefusedOrMissingServiceIsAnError) {
    CloudService svc("refuse");
    ASSERT_TRUE(svc.ready());
    int rc = 0;
    StdoutCapture out;
    double took = timed_notify(svc, "abc", CLOUD_MESSAGE, &rc);
    EXPECT_EQ(rc, __HTTP_ERROR);
    EXPECT_LT(took, 1.0);
    EXPECT_NE(out.text().find(" Error: Couldn't connect to server"), std::string::npos);
    EXPECT_EQ(cloud_request("0123", CLOUD_REGISTER), __HTTP_ERROR);
}

// A report the cloud did not take used to be lost: an eaten report weighed
// during an outage never reached the owner. It is kept, in order, and goes
// when the cloud answers again; past the bound the oldest goes first.
TEST_F(Cloud, ReportsNotTakenAreKeptInOrderAndSentWhenTheCloudAnswers) {
    use_cloud_host(root_, unused_loopback());
    StdoutCapture out;
    EXPECT_EQ(cloud_notify("30g 제공되었습니다.", CLOUD_MESSAGE), __HTTP_ERROR);
    EXPECT_EQ(cloud_notify("30g 제공", CLOUD_FEEDING_LOG), __HTTP_ERROR);
    EXPECT_EQ(cloud_send_kept(), false);  // still down
    CloudService svc("close");
    ASSERT_TRUE(svc.ready());
    use_cloud_host(root_, svc.addr());
    // Up again, but a new report still waits behind the older ones.
    EXPECT_EQ(cloud_notify("30g/10g 먹었습니다.", CLOUD_MESSAGE), __HTTP_ERROR);
    EXPECT_EQ(cloud_kept(), 3u);
    while (cloud_kept() > 0) ASSERT_TRUE(cloud_send_kept());
    EXPECT_EQ(svc.messages("/Ovexa/api/messaging"),
              (std::vector<std::string>{"${product.alias} 30g 제공되었습니다.",
                                        "${product.alias} 30g/10g 먹었습니다."}));
    EXPECT_EQ(svc.messages("/Ovexa/api/feeding-log"), std::vector<std::string>{"30g 제공"});
    EXPECT_EQ(cloud_notify("abc", CLOUD_MESSAGE), __HTTP_DONE);  // nothing waits: sent at once

    use_cloud_host(root_, unused_loopback());
    for (int i = 0; i < CLOUD_KEEP_MAX + 5; ++i)
        cloud_notify(("report " + std::to_string(i)).c_str(), CLOUD_MESSAGE);
    EXPECT_EQ(cloud_kept(), size_t(CLOUD_KEEP_MAX));
    std::string text = out.text();
    EXPECT_NE(text.find("the oldest dropped: report 4\n"), std::string::npos);
    EXPECT_EQ(text.find("the oldest dropped: report 5\n"), std::string::npos);
}

// The thread that sends them again keeps trying while the cloud is away,
// and ends at the stop, saying what it could not deliver and leaving it to
// the next start.
TEST_F(Cloud, TheSendingThreadDeliversAfterAnOutageAndLeavesTheRestToTheNextStart) {
    app_stop_fd_open();
    // The settings stay as they are while the thread runs: the outage is the
    // service being away from its address, not the address changing.
    std::string host = unused_loopback();
    use_cloud_host(root_, host);
    cloud_notify("사료가 부족합니다.", CLOUD_MESSAGE);
    StdoutCapture out;
    std::thread t(cloud_thread_proc);
    usleep(200 * 1000);  // several tries meanwhile, each refused
    size_t delivered = 0;
    {
        CloudService svc("close", 0, host);
        EXPECT_TRUE(svc.ready());
        EXPECT_TRUE(svc.wait_message("/Ovexa/api/messaging", "사료가 부족합니다.", 10));
        delivered = svc.messages("/Ovexa/api/messaging").size();
    }  // away again
    cloud_notify("abc", CLOUD_MESSAGE);
    app_stop();
    t.join();
    EXPECT_EQ(delivered, 1u);
    EXPECT_NE(out.text().find("cloud : 1 reports not delivered at the stop"), std::string::npos);
    // A serve that ends as the program stops reports after the sending
    // thread is gone; the file is written once every reporter has ended.
    cloud_notify("def", CLOUD_MESSAGE);
    cloud_save_kept();
    // What was left waits in a file (an upgrade's restart during an outage
    // lost it), and the next start sends it first.
    std::string kept = read_file(root_ + "/etc/cloud_kept.conf");
    EXPECT_NE(kept.find("abc"), std::string::npos);
    EXPECT_NE(kept.find("def"), std::string::npos);
    EXPECT_EQ(cloud_kept(), 0u);
    app_stop_fd_open();
    sig_flag = 1;
    CloudService again("close", 0, host);
    EXPECT_TRUE(again.ready());
    std::thread next(cloud_thread_proc);
    EXPECT_TRUE(again.wait_message("/Ovexa/api/messaging", "abc", 10));
    EXPECT_TRUE(again.wait_message("/Ovexa/api/messaging", "def", 10));
    app_stop();
    next.join();
    auto sent = again.messages("/Ovexa/api/messaging");
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "${product.alias} abc"), 1);
    EXPECT_NE(access((root_ + "/etc/cloud_kept.conf").c_str(), F_OK), 0);
}

TEST_F(Cloud, WriteWaitGivesUpOnAFullSocket) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    char junk[4096] = {0};
    while (send(sv[0], junk, sizeof junk, MSG_DONTWAIT) > 0) {
    }
    double t0 = now_s();
    EXPECT_EQ(cloud_wait_socket(sv[0], 0, 200), 0);
    EXPECT_GE(now_s() - t0, 0.19);
    EXPECT_EQ(cloud_wait_socket(sv[1], 1, 200), 1);  // the other end has data to read
    close(sv[0]);
    close(sv[1]);
}

TEST_F(Cloud, RegistrationPostsTheIdentity) {
    CloudService svc("close");
    ASSERT_TRUE(svc.ready());
    use_cloud_host(root_, svc.addr());
    EXPECT_EQ(cloud_request(get_feeder()->sipid, CLOUD_REGISTER), __HTTP_DONE);
    EXPECT_EQ(cloud_request("abc", CLOUD_MESSAGE), __HTTP_DONE);
    EXPECT_EQ(cloud_request("abc", 7), __HTTP_ERROR);  // no such kind: no URL
    auto recs = svc.records();
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0].method, "POST");
    EXPECT_EQ(recs[0].path, "/Ovexa/api/product");
    EXPECT_EQ(recs[0].field("job"), "register");
    EXPECT_EQ(recs[0].field("id"), "00:11:22:33:44:55");
    EXPECT_EQ(recs[0].field("sip-username"), "0123456789abcdef0123456789abcdef");
    EXPECT_EQ(recs[1].message, "${product.alias} abc");
}

}  // namespace
