// What every fuzz target shares: a simulated board below a folder of the
// run's own, quiet log lines, and the check that turns a wrong verdict into a
// finding.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace fuzz {

// The fuzz input taken apart front to back; past its end every read is 0.
struct Input {
    const uint8_t* p;
    size_t n;
    uint8_t byte() {
        if (!n) return 0;
        --n;
        return *p++;
    }
    std::string rest(size_t max) {
        size_t k = n < max ? n : max;
        std::string s(reinterpret_cast<const char*>(p), k);
        p += k;
        n -= k;
        return s;
    }
};

// Starts the simulated board on a manual clock that moves with every sleep,
// below a fresh folder on a memory file system when there is one (files are
// flushed at every save), sends the daemon's log lines to /dev/null and
// keeps libFuzzer's alarm signal off the daemon's threads. First thing in
// every target. Returns the folder.
std::string start_board(bool with_mcu);

// A whole file, written plainly (the writer under test is not the harness).
void put_file(const std::string& path, const void* data, size_t n);
std::string get_file(const std::string& path);

// A loopback address of this run's own (127.x.y.z, x > 0); another salt gives
// another address.
std::string own_loopback(unsigned salt = 0);

// The minute of the day an "h:m" text names, its numbers read as sscanf's %d
// reads them (blanks, a sign, digits; what follows the minutes does not
// count) but never wrapped: -1 when they are no time of day.
int minute_of_day(const char* text);

// Prints where and why to standard error and aborts.
[[noreturn]] void fail_at(const char* file, int line, const char* cond, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));

}  // namespace fuzz

// A wrong verdict stops the run like a crash, so libFuzzer keeps the input.
#define FUZZ_CHECK(cond, ...)                                               \
    do {                                                                    \
        if (!(cond)) fuzz::fail_at(__FILE__, __LINE__, #cond, __VA_ARGS__); \
    } while (0)
