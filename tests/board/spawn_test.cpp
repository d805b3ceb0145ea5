// What a program started through the board side of the seam inherits, and
// what the daemon keeps while it waits for one.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tests/support/capture.h"
#include "tests/support/files.h"

namespace {

// Whole output of a command through plat_popen.
std::string popen_output(const std::string& cmd) {
    FILE* p = plat_popen(cmd.c_str(), "r");
    if (!p) return "(popen failed)";
    std::string out;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    plat_pclose(p);
    return out;
}

// Descriptors in an "ls -l /proc/self/fd" listing that are neither 0, 1, 2
// nor the one ls opens to read that very folder.
std::vector<std::string> extra_fds(const std::string& listing) {
    std::vector<std::string> extra;
    std::istringstream in(listing);
    std::string line;
    while (std::getline(in, line)) {
        size_t arrow = line.find(" -> ");
        if (arrow == std::string::npos) continue;
        size_t start = line.rfind(' ', arrow - 1) + 1;
        std::string fd = line.substr(start, arrow - start);
        std::string target = line.substr(arrow + 4);
        bool own_listing = target.rfind("/proc/", 0) == 0 && target.size() > 3 &&
                           target.compare(target.size() - 3, 3, "/fd") == 0;
        if (fd != "0" && fd != "1" && fd != "2" && !own_listing) extra.push_back(line);
    }
    return extra;
}

// A socket and a file the way the SIP stack and older code open them: without
// close-on-exec.
class Inheritance : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = make_temp_dir("spawn");
        sock_ = socket(AF_INET, SOCK_DGRAM, 0);
        file_ = open((dir_ + "/held").c_str(), O_RDWR | O_CREAT, 0644);
        ASSERT_GE(sock_, 0);
        ASSERT_GE(file_, 0);
        ASSERT_EQ(fcntl(sock_, F_GETFD) & FD_CLOEXEC, 0);
    }
    void TearDown() override {
        close(sock_);
        close(file_);
        remove_tree(dir_);
    }
    std::string dir_;
    int sock_ = -1, file_ = -1;
};

TEST_F(Inheritance, ShellCommandSeesOnlyStandardDescriptors) {
    std::string out = dir_ + "/fds";
    // The shell's own redirection would show as a descriptor of its own.
    int rc = plat_system(("exec >" + out + "; ls -l /proc/self/fd").c_str());
    ASSERT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 0) << rc;
    std::string listing = read_file(out);
    ASSERT_NE(listing.find(" 2 -> "), std::string::npos) << listing;
    EXPECT_EQ(extra_fds(listing), std::vector<std::string>{}) << listing;
}

TEST_F(Inheritance, PopenCommandSeesOnlyStandardDescriptors) {
    // Another stream open at the same time: its pipe must not leak either.
    FILE* other = plat_popen("cat", "w");
    ASSERT_NE(other, nullptr);
    std::string listing = popen_output("ls -l /proc/self/fd");
    ASSERT_NE(listing.find(" 1 -> pipe:"), std::string::npos) << listing;
    EXPECT_EQ(extra_fds(listing), std::vector<std::string>{}) << listing;
    EXPECT_EQ(plat_pclose(other), 0);
}

TEST(Devices, OpenedWithCloseOnExec) {
    int fd = plat_dev_open("/dev/null", O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_ACCMODE, O_RDWR);
    plat_dev_close(fd);
}

std::atomic<int> g_sigints{0};
void count_sigint(int) {
    g_sigints++;
}

// A SIGINT to this process `after_us` from now, counted by a handler as the
// daemon's is; handled() puts the old handler back.
class SigintLater {
  public:
    explicit SigintLater(useconds_t after_us) {
        struct sigaction sa = {};
        sa.sa_handler = count_sigint;
        sigaction(SIGINT, &sa, &old_);
        g_sigints = 0;
        stopper_ = std::thread([after_us] {
            usleep(after_us);
            kill(getpid(), SIGINT);
        });
    }
    int handled() {
        stopper_.join();
        sigaction(SIGINT, &old_, nullptr);
        return g_sigints;
    }

  private:
    struct sigaction old_;
    std::thread stopper_;
};

// systemctl stop sends SIGINT to the daemon while it may be waiting for a
// prompt, ntpdate or a Wi-Fi tool: the handler must still run.
TEST(ShellCommand, SigintDuringTheCommandReachesTheHandler) {
    SigintLater stop(500000);
    int rc = plat_system("sleep 2");
    EXPECT_EQ(stop.handled(), 1);
    // The command ran to its end all the same.
    EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 0) << rc;
}

TEST(ShellCommand, StatusAsSystemGivesIt) {
    int rc = plat_system("exit 3");
    EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 3) << rc;
    rc = plat_system("kill -TERM $$");
    EXPECT_TRUE(WIFSIGNALED(rc) && WTERMSIG(rc) == SIGTERM) << rc;
    rc = plat_system("/nonexistent/program");
    EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 127) << rc;
    FILE* p = plat_popen("echo one; exit 4", "r");
    ASSERT_NE(p, nullptr);
    char line[16] = {0};
    ASSERT_NE(fgets(line, sizeof line, p), nullptr);
    EXPECT_STREQ(line, "one\n");
    rc = plat_pclose(p);
    EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 4) << rc;
    // Written through a "w" stream, read back by the command.
    std::string dir = make_temp_dir("popenw");
    p = plat_popen(("cat >" + dir + "/got").c_str(), "w");
    ASSERT_NE(p, nullptr);
    fputs("fed\n", p);
    EXPECT_EQ(plat_pclose(p), 0);
    EXPECT_EQ(read_file(dir + "/got"), "fed\n");
    remove_tree(dir);
}

// Gone, or a zombie nobody has reaped yet: ended either way.
bool ended(pid_t pid) {
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    return stat.empty() || (paren != std::string::npos && stat.compare(paren + 2, 1, "Z") == 0);
}

int64_t now_ms() {
    return plat_monotonic_us() / 1000;
}

// The shell must get far enough before its limit (its child started, its
// line written, or its end), or there is nothing to show; a loaded desk (or
// qemu-arm) can take more than 0.4 s to start a shell. `run(limit_ms)` runs
// the command and says whether it got that far; a run that did not is told,
// and run again with twice the limit, up to 3.2 s.
template <typename Run>
void with_a_limit_the_shell_can_start_in(Run run) {
    for (int limit_ms = 400; limit_ms <= 3200; limit_ms *= 2) {
        if (run(limit_ms)) return;
        printf("the shell did not get far enough in %d ms\n", limit_ms);
    }
}

// The pid the command wrote to `file`, 0 when the shell ended before it
// wrote one.
pid_t shell_child(const std::string& file) {
    return pid_t(atoi(read_file(file).c_str()));
}

// A command past its limit is ended with everything its shell started (a
// player, a pipeline), its status is that of a killed shell, it is logged,
// and it leaves no descriptor behind. A stop arriving meanwhile still
// reaches the daemon's handler, and does not end the command early.
TEST(ShellCommand, PastItsLimitEndedWithWhatItStarted) {
    std::string dir = make_temp_dir("limit");
    int before = open_descriptors();
    SigintLater stop(100000);
    StdoutCapture out;
    pid_t child = 0;
    with_a_limit_the_shell_can_start_in([&](int limit_ms) {
        int64_t t0 = now_ms();
        int rc = plat_system(("sleep 60 & echo $! >" + dir + "/child; sleep 60").c_str(), limit_ms);
        int64_t took = now_ms() - t0;
        EXPECT_TRUE(WIFSIGNALED(rc) && WTERMSIG(rc) == SIGKILL) << rc;
        EXPECT_GE(took, limit_ms);
        EXPECT_LT(took, limit_ms + 4600);
        return (child = shell_child(dir + "/child")) > 0;
    });
    EXPECT_EQ(stop.handled(), 1);
    ASSERT_GT(child, 0);
    for (int i = 0; i < 2000 && !ended(child); ++i) usleep(1000);
    EXPECT_TRUE(ended(child)) << "the shell's child outlived it";

    // A stream's limit covers the reading: a line, then nothing more to come.
    char line[32] = "";
    with_a_limit_the_shell_can_start_in([&](int limit_ms) {
        EXPECT_TRUE(plat_command_line("echo one; sleep 60", line, sizeof line, limit_ms));
        return line[0] != '\0';
    });
    EXPECT_STREQ(line, "one\n");
    int64_t t0 = now_ms();
    EXPECT_TRUE(plat_command_line("sleep 60", line, sizeof line, 400));
    EXPECT_STREQ(line, "");
    EXPECT_LT(now_ms() - t0, 5000);
    FILE* p = plat_popen("sleep 60", "r", 400);
    ASSERT_NE(p, nullptr);
    int rc = plat_pclose(p);
    EXPECT_TRUE(WIFSIGNALED(rc) && WTERMSIG(rc) == SIGKILL) << rc;

    std::string text = out.text();
    EXPECT_NE(text.find("shell : \"sleep 60 & echo $! >"), std::string::npos) << text;
    EXPECT_NE(text.find("ended at its limit of 0.4 s\n"), std::string::npos) << text;
    EXPECT_EQ(open_descriptors(), before);
    remove_tree(dir);
}

// A program started in the background is never bounded: the limit is its
// shell's, and that returns at once.
TEST(ShellCommand, BackgroundProgramOutlivesItsShellsLimit) {
    std::string dir = make_temp_dir("background");
    pid_t child = 0;
    with_a_limit_the_shell_can_start_in([&](int limit_ms) {
        int rc = plat_system(("sleep 2 & echo $! >" + dir + "/child").c_str(), limit_ms);
        // Ended at its limit, the shell's group (the child too) went with it.
        if (WIFSIGNALED(rc) && WTERMSIG(rc) == SIGKILL) return false;
        EXPECT_EQ(rc, 0);
        child = shell_child(dir + "/child");
        return true;
    });
    usleep(600000);
    ASSERT_GT(child, 0);
    EXPECT_FALSE(ended(child));
    kill(child, SIGKILL);
    remove_tree(dir);
}

// A mask line of /proc/PID/status ("SigIgn:\t0000000000001000").
unsigned long long signal_mask(const std::string& status, const char* name) {
    size_t at = status.find(std::string(name) + ":\t");
    return at == std::string::npos ? ~0ull
                                   : std::stoull(status.substr(at + strlen(name) + 2), 0, 16);
}
unsigned long long sig_bit(int signo) {
    return 1ull << (signo - 1);
}

// Libraries of the daemon ignore SIGPIPE and threads block signals; a shell
// pipeline started from there must not inherit either.
TEST(ShellCommand, ChildStartsWithDefaultSignalHandling) {
    struct sigaction old;
    struct sigaction ign = {};
    ign.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ign, &old);
    sigset_t block, saved;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &block, &saved);
    std::string status = popen_output("grep -E '^Sig(Ign|Blk):' /proc/self/status");
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    sigaction(SIGPIPE, &old, nullptr);
    EXPECT_EQ(signal_mask(status, "SigIgn") & sig_bit(SIGPIPE), 0u) << status;
    EXPECT_EQ(signal_mask(status, "SigBlk"), 0u) << status;
}

}  // namespace
