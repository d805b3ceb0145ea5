#include "tests/support/capture.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "tests/support/files.h"

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
    std::string t = text();
    // A failure inside the capture printed its message into it.
    if (::testing::Test::HasFailure())
        fprintf(stderr, "---- captured output ----\n%s---- end of captured output ----\n",
                t.c_str());
    unlink(file_.c_str());
}
