// The device over SIP through real processes: kamailio as the SIP service,
// hopperd-sim registered to it, the phone client and baresip as the owner.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <jansson.h>
#include <netinet/in.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <map>
#include <memory>
#include <string>

#include "include/variant.h"
#include "sched/sched.h"
#include "sip/sip.h"
#include "tests/support/cloud.h"
#include "tests/support/desk.h"
#include "tests/support/emulation.h"
#include "tests/support/files.h"
#include "tests/support/process.h"
#include "tests/support/sip_desk.h"

namespace {

const char kMac[] = "00:1a:2b:3c:4d:5e";

std::string bin(const char* name) {
    return std::string(HOPPERD_SIM_BIN_DIR) + "/" + name;
}
std::string daemon_bin() {
    return bin(kSilentBuild ? "hopperd-sim-silent" : "hopperd-sim");
}

// A hand-written SIP sender on a loopback address of its own, straight to
// the device's port, not through the service: requests out, their final
// answers in, by Call-ID.
class RawSender {
  public:
    explicit RawSender(const std::string& addr) : addr_(addr) {
        s_ = socket(AF_INET, SOCK_DGRAM, 0);
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        inet_pton(AF_INET, addr.c_str(), &a.sin_addr);
        if (bind(s_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return;
        socklen_t alen = sizeof a;
        getsockname(s_, reinterpret_cast<sockaddr*>(&a), &alen);
        port_ = ntohs(a.sin_port);
        struct timeval tv = {1, 0};
        setsockopt(s_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~RawSender() { close(s_); }
    bool ready() const { return port_ > 0; }

    // `method` (MESSAGE or INVITE) to the device `sipid` at `dev`:5060, with
    // Call-ID `id`@this address.
    bool send(const std::string& dev, const std::string& sipid, const std::string& method,
              const std::string& id, const std::string& body) {
        std::string me = addr_ + ":" + std::to_string(port_);
        std::string req = method + " sip:" + sipid + "@feeder.test SIP/2.0\r\n" +
                          "Via: SIP/2.0/UDP " + me + ";rport;branch=z9hG4bK-" + id +
                          "\r\nMax-Forwards: 70\r\n" +
                          "From: <sip:stranger@feeder.test>;tag=" + id + "\r\nTo: <sip:" + sipid +
                          "@feeder.test>\r\nCall-ID: " + id + "@" + addr_ + "\r\nCSeq: 1 " +
                          method + "\r\nContact: <sip:stranger@" + me + ">\r\n" +
                          (method == "MESSAGE" ? "Content-Type: application/json\r\n" : "") +
                          "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        struct sockaddr_in to = {};
        to.sin_family = AF_INET;
        to.sin_port = htons(5060);
        inet_pton(AF_INET, dev.c_str(), &to.sin_addr);
        return sendto(s_, req.data(), req.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
               ssize_t(req.size());
    }

    // The final status of each request by Call-ID, until `count` came or
    // nothing did for 10 s; `retry_s` gets the Retry-After of a 503.
    std::map<std::string, std::string> answers(size_t count, unsigned* retry_s = nullptr) {
        std::map<std::string, std::string> got;
        for (int quiet = 0; got.size() < count && quiet < 10;) {
            char buf[4096];
            ssize_t len = recv(s_, buf, sizeof buf - 1, 0);
            if (len <= 0) {
                ++quiet;
                continue;
            }
            std::string msg(buf, size_t(len));
            if (msg.compare(0, 8, "SIP/2.0 ") != 0 || msg[8] == '1') continue;
            std::string code = msg.substr(8, 3);
            size_t c = msg.find("\r\nCall-ID: ");
            if (c == std::string::npos) c = msg.find("\r\ni: ");
            if (c == std::string::npos) continue;
            c = msg.find(' ', c + 2) + 1;
            std::string id = msg.substr(c, msg.find("\r\n", c) - c);
            got[id.substr(0, id.find('@'))] = code;
            size_t r = msg.find("\r\nRetry-After: ");
            if (code == "503" && r != std::string::npos && retry_s)
                *retry_s = unsigned(atoi(msg.c_str() + r + 15));
        }
        return got;
    }

  private:
    std::string addr_;
    int s_ = -1;
    int port_ = 0;
};

class OverSip : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = make_temp_dir("sip");
        service_ = {root_ + "/kam", unused_loopback()};
        dev_ = unused_loopback();
        trusted_ = unused_loopback();
        std::string dev = dev_;
        phone_ = {"sip:" + service_.addr + ":5080", unused_loopback() + ":5070", ""};
        std::string out;
        ASSERT_EQ(service_.start(&out), 0) << out;
        cloud_ = std::make_unique<CloudService>();
        ASSERT_TRUE(cloud_->ready());
        // One more node of the service, on the allow-list.
        write_desk_conf(root_, {cloud_->addr(), dev, phone_.proxy, trusted_});
        before_start();
        std::vector<std::string> argv = {daemon_bin(), "--root",           root_, "--speed", "200",
                                         "--control",  root_ + "/ctl.sock"};
        argv.insert(argv.end(), extra_args_.begin(), extra_args_.end());
        daemon_ = std::make_unique<Process>(argv);
        ASSERT_TRUE(daemon_->wait_for(" pjsip  registered", 20)) << daemon_->output();
        phone_.sipid = sipid_of(daemon_->output());
        ASSERT_FALSE(phone_.sipid.empty());
        sipid_ = phone_.sipid;
    }
    void TearDown() override {
        if (daemon_) {
            EXPECT_EQ(daemon_->stop(SIGINT, 20), 0) << daemon_->output();
        }
        daemon_.reset();
        service_.stop();
        cloud_.reset();
        remove_tree(root_);
    }
    virtual void before_start() {}
    int phone(std::vector<std::string> args, std::string* out) { return phone_.run(args, out); }
    std::string sched_file() { return read_file(root_ + "/etc/feed_sched.conf"); }
    // The MESSAGEs the device sent through the service so far (with their
    // repetitions after a challenge).
    size_t replies_sent() {
        std::string log = read_file(service_.rundir + "/kamailio.log");
        std::string from = "from sip:" + sipid_ + "@";
        size_t n = 0;
        for (size_t at = 0; (at = log.find("REQ MESSAGE", at)) != std::string::npos; ++at)
            n += log.compare(log.find(" from ", at) + 1, from.size(), from) == 0;
        return n;
    }

    std::string root_, sipid_, dev_, trusted_;
    std::vector<std::string> extra_args_;
    SipService service_;
    Phone phone_;
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
    EXPECT_EQ(json_text(r, "cmd"), "feeding-schedule-append-res");
    EXPECT_EQ(json_text(r, "errorCode"), "200");
    EXPECT_EQ(json_text(r, "productId"), kMac);
    json_decref(r);
    EXPECT_NE(sched_file().find("\"feedTime\": \"7:5\""), std::string::npos) << sched_file();

    ASSERT_EQ(phone({"sched-enum"}, &out), 0) << out;
    r = reply_of(out);
    json_t* first = json_array_get(json_object_get(r, "feedingSchedules"), 0);
    EXPECT_EQ(json_text(first, "uuid"), "breakfast");
    EXPECT_EQ(json_text(first, "feedTime"), "07:05");
    EXPECT_EQ(json_array_size(json_object_get(first, "feedDaysOfTheWeek")), 2u);
    json_decref(r);

    ASSERT_EQ(phone({"sched-modify", "breakfast", "9:15", "45", "sun", "1"}, &out), 0) << out;
    r = reply_of(out);
    EXPECT_EQ(json_text(r, "cmd"), "feeding-schedule-modify-res");
    json_decref(r);
    EXPECT_NE(sched_file().find("\"feedTime\": \"9:15\""), std::string::npos);
    EXPECT_NE(sched_file().find("\"feedAmount\": \"45\""), std::string::npos);

    ASSERT_EQ(phone({"sched-delete", "breakfast", "lunch"}, &out), 0) << out;
    r = reply_of(out);
    json_t* results = json_object_get(r, "error");
    ASSERT_EQ(json_array_size(results), 2u) << out;
    EXPECT_EQ(json_text(json_array_get(results, 0), "code"), "200");
    EXPECT_EQ(json_text(json_array_get(results, 1), "code"), "404");
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
    EXPECT_EQ(json_text(r, "errorCode"), "501");
    EXPECT_EQ(json_text(r, "errorMessage"), "실행할 수 없는 명령입니다.");
    EXPECT_EQ(json_object_get(r, "cmd"), nullptr);
    json_decref(r);
}

// An updater that takes the request and never answers used to keep the
// stack's thread, and with it every later command, for good. The phone's
// update is answered after the wait's bound (600 s, 3 s at this speed) as
// after a failed receive, and the next command at once.
TEST_F(OverSip, SilentUpdaterNoLongerBlocksThePhone) {
    ASSERT_EQ(control_request(root_ + "/ctl.sock", R"({"op":"hang","target":"updater"})"),
              "{\"ok\":true}");
    std::string out;
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(phone({"raw", std::string("{\"ver\":\"1.0.0\",\"cmd\":\"feeder-sw-update-req\","
                                        "\"productId\":\"") +
                                kMac + "\"}"},
                    &out),
              0)
        << out << daemon_->output();
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    json_t* r = reply_of(out);
    EXPECT_EQ(json_text(r, "cmd"), "feeder-sw-update-res");
    EXPECT_EQ(json_text(r, "errorCode"), "200");
    json_decref(r);
    // 600 s at the device's pace (slowed under emulation) and some for the
    // phone's exchange; a wait for good would never end.
    EXPECT_GE(took, slowed(600 / 200.0) * 0.9);
    EXPECT_LT(took, slowed(15));
    EXPECT_NE(daemon_->output().find("no answer from the updater in 600 s"), std::string::npos);
    ASSERT_EQ(phone({"sched-enum"}, &out), 0) << out;
    r = reply_of(out);
    EXPECT_EQ(json_text(r, "errorCode"), "200");
    json_decref(r);
}

// A sender in a loop, straight to the device from the service's second
// node: past the burst each MESSAGE is refused with 503 and a Retry-After,
// and goes no further; once that time has passed a command is answered
// again.
TEST_F(OverSip, MessagesPastTheBurstAreRefusedWith503) {
    RawSender loop(trusted_);
    ASSERT_TRUE(loop.ready());
    const int sent = SIP_MESSAGE_BURST + 20;
    std::string body = std::string("{\"ver\":\"1.0.0\",\"cmd\":\"feeding-schedule-enum-req\",") +
                       "\"productId\":\"" + kMac + "\"}";
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < sent; ++i)
        ASSERT_TRUE(loop.send(dev_, sipid_, "MESSAGE", "loop-" + std::to_string(i), body));
    unsigned retry_s = 0;
    std::map<std::string, std::string> answers = loop.answers(size_t(sent), &retry_s);
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    int ok = 0, refused = 0;
    for (const auto& kv : answers) {
        ok += kv.second == "200";
        refused += kv.second == "503";
    }
    // The burst, and what the bucket took in again while the loop ran (a
    // loaded host, or emulation, takes more than a second for it).
    EXPECT_GE(ok, SIP_MESSAGE_BURST) << daemon_->output();
    EXPECT_LE(ok, SIP_MESSAGE_BURST + int(took * kSipMessagesPerS)) << took;
    EXPECT_EQ(ok + refused, sent);
    EXPECT_GE(refused, 1);
    EXPECT_GE(retry_s, 1u);
    // Only the ones taken went on to be commands.
    EXPECT_TRUE(daemon_->wait_for("too many MESSAGEs: refused for", 5)) << daemon_->output();
    std::string log = daemon_->output();
    int commands = 0;
    for (size_t at = 0; (at = log.find("MESSAGE from sip:stranger@", at)) != std::string::npos;
         ++at)
        ++commands;
    EXPECT_EQ(commands, ok);

    sleep(retry_s);
    std::string out;
    ASSERT_EQ(phone({"sched-enum"}, &out), 0) << out;
    json_t* reply = reply_of(out);
    EXPECT_EQ(json_text(reply, "errorCode"), "200");
    json_decref(reply);
}

// Anyone on the network can send the device's port a request. One that does
// not come from the SIP service is answered 403 before anything runs: no
// command, no reply (which would tell the stranger the productId), no call.
// The phone, through the service, is answered as before.
TEST_F(OverSip, StrangerIsRefusedAndNothingRuns) {
    std::string out;
    ASSERT_EQ(phone({"sched-append", "breakfast", "07:05", "30", "mon", "1"}, &out), 0) << out;
    std::string schedule = sched_file();
    ASSERT_NE(schedule.find("breakfast"), std::string::npos);
    // The phone's own command fully in the log before the mark.
    ASSERT_TRUE(daemon_->wait_for("feeding-schedule-append-res", 5)) << daemon_->output();
    size_t mark = daemon_->output().size();
    size_t replies = replies_sent();

    RawSender stranger(unused_loopback());
    ASSERT_TRUE(stranger.ready());
    std::string prod = std::string("\"productId\":\"") + kMac + "\"";
    const struct {
        const char* id;
        const char* method;
        std::string body;
    } requests[] = {
        {"delete", "MESSAGE",
         "{\"ver\":\"1.0.0\",\"cmd\":\"feeding-schedule-delete-req\"," + prod +
             ",\"uuid\":[\"breakfast\"]}"},
        {"feed", "MESSAGE",
         "{\"ver\":\"1.0.0\",\"cmd\":\"feeding-manual-update-req\"," + prod +
             ",\"feedAmount\":\"1000000\",\"melody\":\"1\"}"},
        {"update", "MESSAGE",
         "{\"ver\":\"1.0.0\",\"cmd\":\"feeder-sw-update-req\",\"productId\":\"x\"}"},
        {"probe", "MESSAGE", "x"},  // would be answered "400" with the productId
        {"call", "INVITE", ""},
    };
    for (const auto& r : requests) ASSERT_TRUE(stranger.send(dev_, sipid_, r.method, r.id, r.body));
    std::map<std::string, std::string> answers = stranger.answers(std::size(requests));
    for (const auto& r : requests) EXPECT_EQ(answers[r.id], "403") << r.id;

    EXPECT_TRUE(daemon_->wait_for("refused: not the SIP service", 5, mark)) << daemon_->output();
    // What would run does so within milliseconds of the answer: the
    // command's log lines, the reply MESSAGE through the service.
    usleep(500 * 1000);
    std::string log = daemon_->output().substr(mark);
    EXPECT_EQ(log.find("MESSAGE from sip:stranger"), std::string::npos) << log;
    EXPECT_EQ(log.find("SIP cmd"), std::string::npos) << log;
    EXPECT_EQ(log.find("Incoming call"), std::string::npos) << log;
    EXPECT_EQ(sched_file(), schedule);
    EXPECT_EQ(replies_sent(), replies);
    // The phone's command is answered, and its reply goes out.
    ASSERT_EQ(phone({"sched-enum"}, &out), 0) << out;
    json_t* r = reply_of(out);
    EXPECT_EQ(json_text(r, "errorCode"), "200");
    EXPECT_EQ(json_text(json_array_get(json_object_get(r, "feedingSchedules"), 0), "uuid"),
              "breakfast");
    json_decref(r);
    EXPECT_GT(replies_sent(), replies);
}

// The device takes part in no call transfer and no subscription, whoever
// asks: the stack accepted a REFER (202) and kept a handle of each for good.
TEST_F(OverSip, ReferAndSubscribeAreNotAllowed) {
    RawSender node(trusted_);
    ASSERT_TRUE(node.ready());
    ASSERT_TRUE(node.send(dev_, sipid_, "REFER", "refer", ""));
    ASSERT_TRUE(node.send(dev_, sipid_, "SUBSCRIBE", "subscribe", ""));
    std::map<std::string, std::string> answers = node.answers(2);
    EXPECT_EQ(answers["refer"], "405");
    EXPECT_EQ(answers["subscribe"], "405");
}

// The stack sleeps up to 10 s between its deferred chores, and ends its
// shutdown on one of them: a stop after an idle spell must not wait for it.
TEST_F(OverSip, StopAfterAnIdleSpellEndsTheStackAtOnce) {
    sleep(12);
    ASSERT_EQ(daemon_->stop(SIGINT, 20), 0);
    std::string out = daemon_->output();
    daemon_.reset();
    EXPECT_EQ(out.find("did not end its shutdown"), std::string::npos) << out;
    EXPECT_NE(out.find("Bye...."), std::string::npos) << out;
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
                                      service_.addr + ":5080\";regint=300\n");
    write_file(dir + "/contacts", "<sip:" + sipid_ + "@feeder.test>\n");
    std::string request =
        std::string("{\"ver\":\"1.0.0\",\"cmd\":\"feeding-schedule-enum-req\",\"productId\":\"") +
        kMac + "\"}";
    std::string script = "{ sleep 2; printf '/dial sip:" + sipid_ + "@feeder.test\\n'; sleep 2; " +
                         "printf '/message " + request +  // to the contact: the device
                         "\\n'; sleep 3; printf '/quit\\n'; } | baresip -n " + addr + " -f " + dir +
                         " -t 12";
    std::string out;
    run_to_end({"/bin/sh", "-c", script}, &out, 30);
    EXPECT_NE(out.find("405 No Support for Incoming Calls"), std::string::npos) << out;
    EXPECT_NE(out.find("feeding-schedule-enum-res"), std::string::npos) << out;
    EXPECT_NE(daemon_->output().find(" pjsip  Incoming call from sip:owner@feeder.test!!"),
              std::string::npos);
}

// The longest reply the device gives: a full schedule whose every text is at
// its longest and made of control characters, each written as \u00XX.
class FullSchedule : public OverSip {
  protected:
    // Control characters JSON writes as six bytes (not \b \f \n \r \t).
    static std::string six_byte_chars() {
        std::string c;
        for (char ch = 1; ch < 0x20; ++ch)
            if (!strchr("\b\f\n\r\t", ch)) c += ch;
        return c;
    }
    static std::string uuid(int i) {
        std::string c = six_byte_chars();
        return std::string(61, '\x01') + c[size_t(i) / c.size()] + c[size_t(i) % c.size()];
    }
    void before_start() override {
        json_t* list = json_array();
        for (int i = 0; i < SCHED_MAX_ENTRIES; ++i) {
            json_t* days = json_array();
            for (const char* d :
                 {"day-sun", "day-mon", "day-tue", "day-wed", "day-thur", "day-fri", "day-sat"})
                json_array_append_new(days, json_string(d));
            json_array_append_new(
                list, json_pack("{s:s,s:s,s:s,s:o,s:s,s:s}", "weight",
                                std::string(11, '\x02').c_str(), "feedAmount", "-2147483648",
                                "feedTime", "23:59", "feedDaysOfTheWeek", days, "melody",
                                std::string(79, '\x03').c_str(), "uuid", uuid(i).c_str()));
        }
        char* text = json_dumps(list, 0);
        write_file(root_ + "/etc/feed_sched.conf", text);
        free(text);
        json_decref(list);
        // Nothing falls due while the test runs.
        extra_args_ = {"--start", "2026-01-05 03:00:00"};
    }
};

TEST_F(FullSchedule, EnumeratesInOneMessageAndRefusesOneMore) {
    std::string out;
    ASSERT_EQ(phone({"sched-enum"}, &out), 0) << out.substr(0, 2000);
    json_t* r = reply_of(out);
    ASSERT_NE(r, nullptr) << out.substr(0, 2000);
    json_t* list = json_object_get(r, "feedingSchedules");
    ASSERT_EQ(json_array_size(list), size_t(SCHED_MAX_ENTRIES));
    for (int i = 0; i < SCHED_MAX_ENTRIES; ++i)
        EXPECT_EQ(json_text(json_array_get(list, size_t(i)), "uuid").size(), 63u) << i;
    EXPECT_EQ(json_text(r, "errorCode"), "200");
    json_decref(r);
    std::string body = daemon_->output();
    size_t at = body.find("{\"ver\": \"1.0.0\", \"cmd\": \"feeding-schedule-enum-res\"");
    ASSERT_NE(at, std::string::npos);
    body = body.substr(at, body.find('\n', at) - at);
    std::cout << "largest reply: " << SCHED_MAX_ENTRIES << " entries, " << body.size()
              << " bytes of body\n";
    RecordProperty("largest_reply_bytes", int(body.size()));

    ASSERT_EQ(phone({"sched-append", "one-more", "12:00", "30", "all", "1"}, &out), 0) << out;
    r = reply_of(out);
    EXPECT_EQ(json_text(r, "errorCode"), "506");
    EXPECT_EQ(json_text(r, "errorMessage"), "스케쥴 업데이트 실패");
    json_decref(r);
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
    int rc = run_to_end({daemon_bin(), "--root", root, "--speed", "200"}, &out, 30);
    EXPECT_EQ(rc, 1) << out;
    EXPECT_NE(out.find("Error creating transport"), std::string::npos) << out;
    close(s);
    remove_tree(root);
}

}  // namespace
