// The console's ways to the desk: the control socket link, the programs it
// runs, and the files it reads.
#include <gtest/gtest.h>
#include <jansson.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "include/owned.h"
#include "tests/support/files.h"
#include "tools/console/bridge.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// A stand-in for hopperd-sim's control socket: each connection is handed to
// `serve` with its number, one connection at a time.
class FakeControl {
  public:
    using Serve = std::function<void(int fd, int conn)>;
    FakeControl(const std::string& path, Serve serve) : path_(path), serve_(std::move(serve)) {
        struct sockaddr_un a = {};
        a.sun_family = AF_UNIX;
        snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(listen(fd_, 4), 0);
        th_ = std::thread([this] {
            for (int n = 0;; ++n) {
                int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
                if (c < 0) return;
                connections = n + 1;
                serve_(c, n);
                close(c);
            }
        });
    }
    ~FakeControl() {
        shutdown(fd_, SHUT_RDWR);
        th_.join();
        close(fd_);
        unlink(path_.c_str());
    }
    std::atomic<int> connections{0};

  private:
    std::string path_;
    Serve serve_;
    int fd_ = -1;
    std::thread th_;
};

// Reads one request line.
std::string read_line(int fd) {
    std::string s;
    char c;
    while (read(fd, &c, 1) == 1 && c != '\n') s += c;
    return s;
}

// To a client that may have gone already.
void say(int fd, const std::string& text) {
    send(fd, text.data(), text.size(), MSG_NOSIGNAL);
}

class ConsoleBridge : public ::testing::Test {
  protected:
    void SetUp() override { dir_ = make_temp_dir("console"); }
    void TearDown() override { remove_tree(dir_); }
    std::string dir_;
};

TEST_F(ConsoleBridge, OneConnectionCarriesRequestsAndRepliesThatComeInPieces) {
    std::string sock = dir_ + "/ctl.sock";
    FakeControl fake(sock, [](int fd, int) {
        EXPECT_EQ(read_line(fd), R"({"op":"state"})");
        say(fd, "{\"ok\":");  // a reply split over two writes
        usleep(20000);
        say(fd, "true,\"n\":1}\n");
        EXPECT_EQ(read_line(fd), R"({"op":"history"})");
        say(fd, "{\"n\":2}\n");
        read_line(fd);
    });
    console::ControlLink link(sock);
    std::string reply;
    EXPECT_EQ(link.request(R"({"op":"state"})", &reply), "");
    EXPECT_EQ(reply, R"({"ok":true,"n":1})");
    EXPECT_EQ(link.request(R"({"op":"history"})", &reply), "");
    EXPECT_EQ(reply, R"({"n":2})");
    EXPECT_EQ(fake.connections, 1);
}

TEST_F(ConsoleBridge, NoSimulatorIsSaidSo) {
    console::ControlLink link(dir_ + "/none.sock");
    std::string reply = "untouched";
    EXPECT_NE(link.request(R"({"op":"state"})", &reply).find("the device is not running"),
              std::string::npos);
    EXPECT_EQ(reply, "untouched");
}

// A reply that comes too late must not be taken for the next request's.
TEST_F(ConsoleBridge, ALateReplyIsDroppedWithItsConnection) {
    std::string sock = dir_ + "/ctl.sock";
    FakeControl fake(sock, [](int fd, int conn) {
        std::string req = read_line(fd);
        if (conn == 0) usleep(300000);
        say(fd, "{\"to\":" + req + "}\n");
        read_line(fd);
    });
    console::ControlLink link(sock);
    std::string reply;
    EXPECT_NE(link.request(R"({"op":"slow"})", &reply, 100).find("did not answer"),
              std::string::npos);
    EXPECT_EQ(link.request(R"({"op":"state"})", &reply), "");
    EXPECT_EQ(reply, R"({"to":{"op":"state"}})");
    EXPECT_EQ(fake.connections, 2);
}

// A simulator started again on the same socket: the kept link is dead, and
// the request goes out once more on a fresh one.
TEST_F(ConsoleBridge, AKeptLinkToAGoneSimulatorIsOpenedAgain) {
    std::string sock = dir_ + "/ctl.sock";
    std::atomic<int> requests{0};
    FakeControl fake(sock, [&requests](int fd, int) {
        read_line(fd);
        ++requests;
        say(fd, "{\"ok\":true}\n");
        // and the process goes: the connection closes
    });
    console::ControlLink link(sock);
    std::string reply;
    EXPECT_EQ(link.request(R"({"op":"state"})", &reply), "");
    usleep(50000);
    EXPECT_EQ(link.request(R"({"op":"state"})", &reply), "");
    EXPECT_EQ(reply, R"({"ok":true})");
    EXPECT_EQ(fake.connections, 2);
    EXPECT_EQ(requests, 2);  // each request was carried out once
}

TEST_F(ConsoleBridge, ProgramsRunWithTheirOutputAndStatus) {
    console::RunResult r;
    ASSERT_TRUE(
        console::run_program({"/bin/sh", "-c", "echo out; echo err >&2; exit 3"}, 5000, &r));
    EXPECT_EQ(r.status, 3);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.out, "out\n");
    EXPECT_EQ(r.err, "err\n");
    console::RunResult none;
    EXPECT_FALSE(console::run_program({dir_ + "/no-such-program"}, 1000, &none));
}

// The console's threads block the stop signals; a program it runs must not
// inherit that, or the time-out's SIGTERM would not end it.
TEST_F(ConsoleBridge, AProgramPastItsTimeIsEndedEvenFromAThreadThatBlocksSignals) {
    sigset_t stop, old;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, &old);
    console::RunResult r;
    auto t0 = Clock::now();
    ASSERT_TRUE(console::run_program({"/bin/sleep", "10"}, 200, &r));
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    EXPECT_TRUE(r.timed_out);
    EXPECT_EQ(r.status, -1);
    EXPECT_LT(seconds_since(t0), 1.5);  // SIGTERM, not the SIGKILL two seconds on
}

TEST_F(ConsoleBridge, AProgramThatIgnoresSigtermIsKilled) {
    console::RunResult r;
    auto t0 = Clock::now();
    ASSERT_TRUE(console::run_program({"/bin/sh", "-c", "trap '' TERM; sleep 4"}, 100, &r));
    EXPECT_TRUE(r.timed_out);
    EXPECT_EQ(r.status, -1);
    EXPECT_GE(seconds_since(t0), 2.0);
    EXPECT_LT(seconds_since(t0), 3.9);
}

TEST_F(ConsoleBridge, SipIdComesFromTheIdentityFile) {
    std::string file = dir_ + "/feeder.conf";
    EXPECT_EQ(console::read_sipid(file), "");  // not written yet
    write_file(file, "uuid:c52865fc-f2bf-11f1-b677-02fc00000001\n");
    EXPECT_EQ(console::read_sipid(file), "c52865fcf2bf11f1b67702fc00000001");
    write_file(file, "uuid:c52865fc\n");
    EXPECT_EQ(console::read_sipid(file), "");
    write_file(file, "name:c52865fc-f2bf-11f1-b677-02fc00000001\n");
    EXPECT_EQ(console::read_sipid(file), "");
}

std::string texts(json_t* items) {
    std::string s;
    size_t i;
    json_t* it;
    json_array_foreach(items, i, it) {
        s += std::string(json_string_value(json_object_get(it, "kind"))) + ":" +
             json_string_value(json_object_get(it, "message")) + ";";
    }
    return s;
}

TEST_F(ConsoleBridge, OwnerFeedReadsWholeRecordLinesFromWhereItLeftOff) {
    std::string rec = dir_ + "/cloud.jsonl";
    const std::string first =
        R"({"method":"GET","path":"/Ovexa/api/messaging","message":"${product.alias} 30g 제공되었습니다.","t":1.5})"
        "\n"
        R"({"method":"GET","path":"/Ovexa/api/feeding-log","message":"30g 제공","t":2})"
        "\n"
        R"({"method":"POST","path":"/Ovexa/api/product","fields":{},"t":3})"
        "\n"
        R"({"error":"malformed header","t":4})"
        "\n"
        "not json\n";
    const std::string partial = R"({"method":"GET","path":"/Ovexa/api/messaging","mess)";
    write_file(rec, first + partial);
    long next = -1;
    JsonPtr items(console::read_owner_feed(rec, 0, 100, &next));
    EXPECT_EQ(texts(items.get()), "message:30g 제공되었습니다.;feeding-log:30g 제공;");
    EXPECT_DOUBLE_EQ(json_number_value(json_object_get(json_array_get(items.get(), 0), "t")), 1.5);
    EXPECT_EQ(next, long(first.size()));  // the half-written line waits

    write_file(rec, first + partial +
                        R"(age":"${product.alias} 28g/30g 먹었습니다.","t":5})"
                        "\n");
    items.reset(console::read_owner_feed(rec, next, 100, &next));
    EXPECT_EQ(texts(items.get()), "message:28g/30g 먹었습니다.;");

    long end = next;
    items.reset(console::read_owner_feed(rec, end, 100, &next));
    EXPECT_EQ(json_array_size(items.get()), 0u);
    EXPECT_EQ(next, end);

    // A record started anew is read from its start.
    write_file(rec, R"({"path":"/Ovexa/api/feeding-log","message":"7g 제공","t":9})"
                    "\n");
    items.reset(console::read_owner_feed(rec, end, 100, &next));
    EXPECT_EQ(texts(items.get()), "feeding-log:7g 제공;");

    items.reset(console::read_owner_feed(dir_ + "/none", 0, 100, &next));  // no record yet
    EXPECT_EQ(json_array_size(items.get()), 0u);
    EXPECT_EQ(next, 0);

    // At most the last `max`.
    write_file(rec, first);
    items.reset(console::read_owner_feed(rec, 0, 1, &next));
    EXPECT_EQ(texts(items.get()), "feeding-log:30g 제공;");
}

std::string joined(json_t* lines) {
    std::string s;
    size_t i;
    json_t* l;
    json_array_foreach(lines, i, l) s += std::string(json_string_value(l)) + "|";
    return s;
}

TEST_F(ConsoleBridge, TailGivesTheLastWholeLines) {
    std::string log = dir_ + "/device.log";
    write_file(log, "one\ntwo\nthree\n....");  // a line still being written counts
    JsonPtr lines(console::tail_lines(log, 3));
    EXPECT_EQ(joined(lines.get()), "two|three|....|");
    lines.reset(console::tail_lines(log, 10));
    EXPECT_EQ(joined(lines.get()), "one|two|three|....|");
    lines.reset(console::tail_lines(dir_ + "/none", 10));
    EXPECT_EQ(json_array_size(lines.get()), 0u);

    // Past the window, the first line it cuts is left out.
    std::string big;
    for (int i = 0; i < 3000; ++i) big += "line " + std::to_string(i) + " of the device log\n";
    write_file(log, big);
    lines.reset(console::tail_lines(log, 100000));
    ASSERT_GT(json_array_size(lines.get()), 1000u);
    EXPECT_EQ(std::string(json_string_value(json_array_get(lines.get(), 0))).rfind("line ", 0), 0u);
    EXPECT_STREQ(json_string_value(json_array_get(lines.get(), json_array_size(lines.get()) - 1)),
                 "line 2999 of the device log");

    write_file(log, "ok\nbad \xff\xfe bytes\n");  // not UTF-8: still a line
    lines.reset(console::tail_lines(log, 10));
    EXPECT_EQ(joined(lines.get()), "ok|bad ?? bytes|");
}

}  // namespace
