// The fuzz targets' MCU: the master end of a pty whose slave the daemon opens
// as its serial port. The harness writes what the MCU says and reads back
// every byte the daemon wrote.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace fuzz {

// Opens the pty, links it as the board's serial port and opens the port with
// ucom_open. Returns the daemon's descriptor.
int mcu_open();
int mcu_master();

// What the MCU says, in one write (a small write reaches the reader whole).
void mcu_say(const std::string& bytes);
// Every byte the daemon has written since the last call: a marker written
// from the daemon's side ends the wait, so nothing in flight is missed.
std::string mcu_heard();
// Drops what the daemon did not read, so each run starts on a quiet line.
void mcu_quiet();

// Frame helpers of the harness's own: A1 L code data checksum A8.
uint8_t frame_sum(const std::string& bytes);  // complement of the byte sum
std::string frame(uint8_t code, const std::string& data);
// Whether some window of `b` passes the link's checksum test (at least four
// bytes, the byte before the last holding the sum of the bytes from the
// third to the one before it): no reader may take bytes without one.
bool has_checked_window(const std::string& b);
std::string hex(const std::string& b);

}  // namespace fuzz
