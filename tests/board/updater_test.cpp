// The firmware updater on the board side: the supervision's look for it with
// the real ps, and its download with the real wget.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "app/app.h"
#include "sip/fw_download.h"
#include "tests/support/files.h"

namespace {

bool write_text(const char* path, const std::string& text) {
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = write(fd, text.data(), text.size()) == ssize_t(text.size());
    close(fd);
    return ok;
}

// The PID the namespace's next process takes.
bool next_pid(int pid) {
    return write_text("/proc/sys/kernel/ns_last_pid", std::to_string(pid - 1));
}

int updaters_running() {
    int n = 0;
    DIR* d = opendir("/proc");
    if (!d) return -1;
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        std::string argv = read_file(std::string("/proc/") + e->d_name + "/cmdline");
        n += argv.c_str() == std::string("/root/fw_update");
    }
    closedir(d);
    return n;
}

enum { kNoNamespace = 100, kNoSetup = 101 };

// PID 1 of a PID namespace of its own, with its own /proc and a /root on
// tmpfs for /root/fw_update. Five times the counter runs past its end during
// a check and on past the updater's PID. Exits with the number of updaters
// left running.
int namespace_init() {
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0 ||
        mount("proc", "/proc", "proc", 0, nullptr) < 0 ||
        mount("tmpfs", "/root", "tmpfs", 0, "mode=0700") < 0)
        return kNoSetup;
    // Started in the background, an updater has /dev/null for input: one
    // that sleeps, under the updater's name.
    write_file("/root/fw_update", "#!/bin/bash\nexec -a /root/fw_update sleep 100000\n");
    if (chmod("/root/fw_update", 0755) < 0) return kNoSetup;
    int pid_max = atoi(read_file("/proc/sys/kernel/pid_max").c_str());
    if (pid_max < 2000 || !next_pid(1000)) return kNoSetup;
    // A pass a second on the board: time for a started updater to replace
    // the shell that forked it.
    auto check = [] {
        supervise_updater();
        usleep(200 * 1000);
    };
    check();  // the first check starts it, at about 1001
    for (int wrap = 0; wrap < 5; ++wrap) {
        // sh and ps take the last two PIDs; grep and awk start again low.
        if (!next_pid(pid_max - 2)) return kNoSetup;
        check();
        check();  // now the shell's PID is low too
        if (!next_pid(1500)) return kNoSetup;
        check();
    }
    return updaters_running();
}

// One updater, however often the PID counter wraps. A check that read only
// the first line of the listing started one more updater with every wrap.
TEST(Updater, OneRunsOverPidWrapsWithTheRealPs) {
    if (geteuid() != 0) GTEST_SKIP() << "a PID namespace and mounts of its own need root";
    pid_t outer = fork();
    ASSERT_GE(outer, 0);
    if (outer == 0) {
        if (unshare(CLONE_NEWPID | CLONE_NEWNS) < 0) _exit(kNoNamespace);
        pid_t init = fork();
        if (init < 0) _exit(kNoNamespace);
        if (init == 0) _exit(namespace_init());
        int status;
        while (waitpid(init, &status, 0) < 0 && errno == EINTR) {
        }
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : kNoSetup);
    }
    int status;
    ASSERT_EQ(waitpid(outer, &status, 0), outer);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == kNoNamespace) GTEST_SKIP() << "no PID namespace here";
    ASSERT_NE(WEXITSTATUS(status), kNoSetup);
    EXPECT_EQ(WEXITSTATUS(status), 1);
}

// A port on loopback that refuses connections: bound, never listening.
class Download : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = make_temp_dir("fw");
        ASSERT_FALSE(dir_.empty());
        updater_ = dir_ + "/fw_update";
        write_file(updater_, "old updater\n");
        chmod(updater_.c_str(), 0755);
    }
    void TearDown() override { remove_tree(dir_); }

    // A socket bound to a free loopback port; its port number.
    static int bind_loopback(int* fd) {
        *fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t n = sizeof a;
        if (bind(*fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0 ||
            getsockname(*fd, reinterpret_cast<sockaddr*>(&a), &n) < 0)
            return -1;
        return ntohs(a.sin_port);
    }
    std::string dir_, updater_;
};

TEST_F(Download, RefusedKeepsTheOldUpdater) {
    int fd;
    int port = bind_loopback(&fd);
    ASSERT_GT(port, 0);
    std::string url = "http://127.0.0.1:" + std::to_string(port) + "/update/tolvik_app/fw_update";
    EXPECT_FALSE(fw_download(url.c_str(), updater_.c_str()));
    close(fd);
    EXPECT_EQ(read_file(updater_), "old updater\n");
    struct stat st;
    EXPECT_NE(stat((updater_ + ".part").c_str(), &st), 0);
}

TEST_F(Download, CompleteReplacesItExecutable) {
    int fd;
    int port = bind_loopback(&fd);
    ASSERT_GT(port, 0);
    ASSERT_EQ(listen(fd, 1), 0);
    const std::string body = "new updater\n";
    std::thread server([&] {
        int c = accept(fd, nullptr, nullptr);
        if (c < 0) return;
        char req[2048];
        ssize_t n = read(c, req, sizeof req);  // one small GET
        (void)n;
        std::string reply =
            "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        if (write(c, reply.data(), reply.size()) < 0) perror("write");
        close(c);
    });
    std::string url = "http://127.0.0.1:" + std::to_string(port) + "/update/tolvik_app/fw_update";
    EXPECT_TRUE(fw_download(url.c_str(), updater_.c_str()));
    server.join();
    close(fd);
    EXPECT_EQ(read_file(updater_), body);
    struct stat st;
    ASSERT_EQ(stat(updater_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
}

}  // namespace
