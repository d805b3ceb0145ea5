// Files replaced whole, as a board with a read-only root keeps them: links
// from /etc into a data partition.
#include <dirent.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <jansson.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <random>
#include <regex>
#include <string>

#include "platform/atomic_file.h"
#include "tests/support/files.h"
#include "tests/support/process.h"

// The writer's fsync, failing on demand: a full or failing flash shows there.
namespace {
bool g_fail_fsync = false;
}
extern "C" int fsync(int fd) {
    if (g_fail_fsync) {
        errno = EIO;
        return -1;
    }
    return int(syscall(SYS_fsync, fd));
}

namespace {

bool is_link(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

int open_fds() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    while (readdir(d)) ++n;
    closedir(d);
    return n;
}

class LinkedFile : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = make_temp_dir("linked");
        mkdir((root_ + "/etc").c_str(), 0755);
        mkdir((root_ + "/data").c_str(), 0755);
    }
    void TearDown() override { remove_tree(root_); }
    std::string root_;
};

TEST_F(LinkedFile, LinkStaysAndItsTargetIsReplaced) {
    std::string link = root_ + "/etc/feeder.conf";
    std::string target = root_ + "/data/feeder.conf";
    write_file(target, "uuid:old\n");
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    ASSERT_EQ(write_file_atomic(link.c_str(), "uuid:new\n", 9), 0);
    EXPECT_TRUE(is_link(link));
    EXPECT_EQ(read_file(target), "uuid:new\n");
    EXPECT_FALSE(exists(target + ".tmp"));
    EXPECT_FALSE(exists(link + ".tmp"));
}

TEST_F(LinkedFile, RelativeChainedAndDanglingLinks) {
    // etc/wpa_supplicant.conf -> wpa.link -> ../data/wpa.conf, which does not
    // exist yet (a fresh data partition).
    std::string link = root_ + "/etc/wpa_supplicant.conf";
    ASSERT_EQ(symlink("wpa.link", link.c_str()), 0);
    ASSERT_EQ(symlink("../data/wpa.conf", (root_ + "/etc/wpa.link").c_str()), 0);
    ASSERT_EQ(write_file_atomic(link.c_str(), "network={}\n", 11), 0);
    EXPECT_TRUE(is_link(link));
    EXPECT_TRUE(is_link(root_ + "/etc/wpa.link"));
    EXPECT_EQ(read_file(root_ + "/data/wpa.conf"), "network={}\n");
}

TEST_F(LinkedFile, LinkLoopIsRefused) {
    std::string a = root_ + "/etc/a", b = root_ + "/etc/b";
    ASSERT_EQ(symlink(b.c_str(), a.c_str()), 0);
    ASSERT_EQ(symlink(a.c_str(), b.c_str()), 0);
    EXPECT_EQ(write_file_atomic(a.c_str(), "x", 1), -1);
    EXPECT_TRUE(is_link(a));
    EXPECT_TRUE(is_link(b));
}

TEST_F(LinkedFile, FailingFsyncKeepsTheOldFileAndNoDescriptor) {
    std::string path = root_ + "/etc/feed_sched.conf";
    write_file(path, "[]");
    int before = open_fds();
    g_fail_fsync = true;
    int rc = write_file_atomic(path.c_str(), "[{}]", 4);
    g_fail_fsync = false;
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(open_fds(), before);
    EXPECT_EQ(read_file(path), "[]");
    EXPECT_FALSE(exists(path + ".tmp"));
}

// The writer killed at random moments, the file behind a link: after each
// kill the link is still there and its target whole, old or new.
bool whole_schedule(const std::string& text) {
    json_error_t err;
    json_t* j = json_loads(text.c_str(), 0, &err);
    size_t n = json_array_size(j);
    json_decref(j);
    return n == 3 || n == 40;
}
bool whole_identity(const std::string& text) {
    static const std::regex uuid(
        "uuid:[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\n");
    return std::regex_match(text, uuid);
}
bool whole_wifi(const std::string& text) {
    return text.size() == 177 && text.rfind("ctrl_interface=", 0) == 0 && text.back() == '\n';
}

class KilledMidWrite : public LinkedFile {
  protected:
    // `kind` is save_loop's second argument, `file` the name below ROOT/etc.
    void run(const char* kind, const char* file, bool (*whole)(const std::string&)) {
        std::string link = root_ + "/etc/" + file;
        std::string target = root_ + "/data/" + file;
        ASSERT_EQ(symlink(("../data/" + std::string(file)).c_str(), link.c_str()), 0);
        std::mt19937 rng(12345);
        for (int round = 0; round < 30; ++round) {
            Process p({std::string(HOPPERD_SIM_BIN_DIR) + "/tests/save_loop", root_, kind});
            ASSERT_TRUE(p.wait_for("ready", 10)) << p.output();
            usleep(useconds_t(std::uniform_int_distribution<int>(0, 20000)(rng)));
            p.stop(SIGKILL, 5);
            ASSERT_TRUE(is_link(link)) << "round " << round;
            std::string text = read_file(target);
            ASSERT_TRUE(whole(text)) << "round " << round << ": " << text.substr(0, 200);
        }
    }
};

TEST_F(KilledMidWrite, ScheduleFile) {
    run("sched", "feed_sched.conf", whole_schedule);
}

TEST_F(KilledMidWrite, IdentityFile) {
    run("identity", "feeder.conf", whole_identity);
}

TEST_F(KilledMidWrite, WifiFile) {
    run("wifi", "wpa_supplicant.conf", whole_wifi);
}

}  // namespace
