// libFuzzer target: any bytes as a frame the MCU sends on its own.
//
// The harness plays the MCU on a pty. The events 0x80 and 0x81 are
// acknowledged with their own six-byte frame and nothing else; a frame of
// another code is taken without an answer; bytes in which no window passes
// the checksum are refused, and nothing is written for them.
#include <stdint.h>

#include <string>

#include "fuzz/harness.h"
#include "fuzz/mcu_pty.h"
#include "include/result_codes.h"
#include "mcu/ucom.h"

namespace {
int g_fd = -1;
const size_t kEventMax = 1024;  // the receive buffer of one event read
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::start_board(false);
    g_fd = fuzz::mcu_open();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in{data, size};
    uint8_t mode = in.byte();
    // Raw bytes, or a frame around them (an event code of the input's choice).
    std::string event;
    if (mode % 2 == 0) {
        event = in.rest(kEventMax);
    } else {
        uint8_t code = mode & 2 ? uint8_t(0x80 | (mode >> 7)) : in.byte();
        event = fuzz::frame(code, in.rest(kEventMax - 5));
    }
    if (event.empty()) event.assign(1, '\0');  // nothing to read costs the whole read window

    fuzz::mcu_say(event);
    int rc = ucom_r_event(g_fd);
    std::string ack = fuzz::mcu_heard();
    fuzz::mcu_quiet();

    FUZZ_CHECK(rc == __UCOM_DONE || rc == __UCOM_ERROR, "result %d", rc);
    uint8_t code = event.size() > 2 ? uint8_t(event[2]) : 0;
    bool own = event.size() >= 6 && event == fuzz::frame(code, event.substr(3, event.size() - 5));
    if (own) {
        FUZZ_CHECK(rc == __UCOM_DONE, "frame %s refused", fuzz::hex(event).c_str());
        std::string want = code == UCOM_EVENT_80 || code == UCOM_EVENT_81
                               ? fuzz::frame(code, std::string(1, '\0'))
                               : "";
        FUZZ_CHECK(ack == want, "frame %s answered %s", fuzz::hex(event).c_str(),
                   fuzz::hex(ack).c_str());
    }
    if (rc == __UCOM_DONE) {
        FUZZ_CHECK(fuzz::has_checked_window(event), "took %s, which passes no checksum",
                   fuzz::hex(event).c_str());
    } else {
        FUZZ_CHECK(ack.empty(), "refused %s but answered %s", fuzz::hex(event).c_str(),
                   fuzz::hex(ack).c_str());
    }
    // Whatever was answered is one acknowledgement of an event code the bytes hold.
    if (!ack.empty()) {
        bool one = ack == fuzz::frame(UCOM_EVENT_80, std::string(1, '\0')) ||
                   ack == fuzz::frame(UCOM_EVENT_81, std::string(1, '\0'));
        FUZZ_CHECK(one && event.find(ack[2]) != std::string::npos, "%s answered %s",
                   fuzz::hex(event).c_str(), fuzz::hex(ack).c_str());
    }
    return 0;
}
