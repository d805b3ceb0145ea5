#include "tests/support/sim_fixture.h"

#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "app/app.h"

std::string make_temp_dir(const char* tag) {
    std::string tmpl = std::string("/tmp/hp-") + tag + "-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) return "";
    return buf.data();
}

void remove_tree(const std::string& dir) {
    if (dir.size() < 8) return;
    nftw(
        dir.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); },
        16, FTW_DEPTH | FTW_PHYS);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

void SimTest::SetUp() {
    // A failed serial-port open raises SIGINT: keep it from ending the test run.
    signal(SIGINT, sig_handler);
    sig_flag = 1;
    root_ = make_temp_dir("sim");
    ASSERT_FALSE(root_.empty());
    start_world();
}

void SimTest::start_world(bool manual_clock, double speed, bool auto_advance) {
    sim::WorldConfig cfg;
    cfg.root = root_;
    cfg.manual_clock = manual_clock;
    cfg.auto_advance = auto_advance;
    cfg.speed = speed;
    cfg.start_us = int64_t(1796553000) * 1000000;  // Sunday 2026-12-06 10:30:00 UTC
    world().start(cfg);
    ASSERT_FALSE(world().tty_path().empty());
}

void SimTest::TearDown() {
    world().stop();
    remove_tree(root_);
}

StdoutCapture::StdoutCapture() {
    fflush(stdout);
    char tmpl[] = "/tmp/hp-out-XXXXXX";
    int fd = mkstemp(tmpl);
    file_ = tmpl;
    saved_ = dup(STDOUT_FILENO);
    dup2(fd, STDOUT_FILENO);
    close(fd);
}

std::string StdoutCapture::text() {
    if (!done_) {
        fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        done_ = true;
    }
    std::string t = read_file(file_);
    return t;
}

StdoutCapture::~StdoutCapture() {
    text();
    unlink(file_.c_str());
}
