// Serial link to the MCU: port, frame format, checksum, request/reply
// exchange, and the MCU command set.
#pragma once

#include <stdint.h>

// Sensor bits delivered by ucom_get_sensor.
enum : uint32_t {
    SENSOR_FOOD_LOW = 0x01,
    SENSOR_BOWL_IN = 0x04,
    SENSOR_BOWL_OUT = 0x08,
    SENSOR_BOWL_MISSING = 0x10,
};

// MCU command and event codes.
enum : uint8_t {
    UCOM_SET_TIME = 0x01,
    UCOM_GET_TIME = 0x02,
    UCOM_LED3 = 0x03,
    UCOM_LED4 = 0x04,
    UCOM_GET_BATV = 0x05,
    UCOM_GET_STATUS = 0x06,
    UCOM_FEED_MEAL = 0x11,
    UCOM_BOWL_IN = 0x12,
    UCOM_BOWL_OUT = 0x13,
    UCOM_MOTOR_BACK = 0x14,
    UCOM_SET_FEED_MEAL = 0x21,
    UCOM_GET_FEED_MEAL = 0x22,
    UCOM_GET_SENSOR = 0x30,
    UCOM_EVENT_80 = 0x80,
    UCOM_EVENT_81 = 0x81,
};

enum { UCOM_FRAME_MAX = 20 };  // request and reply buffers of one exchange

// --- link --------------------------------------------------------------------
int ucom_open();
int ucom_get_fd();
int ucom_close(int fd);
int ucom_set_attribs(int fd, int speed, int parity);
void ucom_set_blocking(int fd, int should_block);
uint8_t ucom_checksum(int n, const uint8_t* p);
void ucom_dump(int flag, const char* name, int len, const uint8_t* p);
// Builds A1 L code data.. checksum A8 into `out` (UCOM_FRAME_MAX bytes) and
// returns its length, L + 4.
int ucom_build_frame(uint8_t* out, uint8_t code, const uint8_t* data, int ndata);
// Writes the acknowledgement of an event frame (A1 02 code 00 cs A8); the
// result of the write.
int ucom_ack_event(int fd, uint8_t code);
// The `n` bytes at `p` begin with a whole event frame of code 0x80 or 0x81.
bool ucom_is_event(const uint8_t* p, int n);
// What one read of `n` bytes must be to count as a frame: at least 4 bytes
// and the checksum at n - 2 over offsets 2 .. n - 3. Nothing else is judged
// (start, length, end and command bytes are not), so junk on the line can pass.
bool ucom_reply_ok(const uint8_t* p, int n);
// One request/reply exchange under the link lock: stale input is dropped
// (events in it acknowledged) before the request is written, and a whole
// frame of another request's code read in the window is dropped as a late
// reply, not taken for this one. `reply` holds
// R bytes (zeroed here); *nread receives the count of reply bytes read.
int ucom_exchange(int fd, const uint8_t* req, int req_len, const char* name, uint8_t* reply, int R,
                  int* nread);

// --- commands ------------------------------------------------------------------
int ucom_set_time(int fd);
int ucom_get_time(int fd);
int ucom_set_led(int fd, int on, int led);
int ucom_get_batv(int fd);
int ucom_get_feeder_status(int fd, int* status);
int ucom_feed_meal(int fd, int count);
int ucom_bowl_in(int fd);
int ucom_bowl_out(int fd);
int ucom_feed_motor_back(int fd, int count);
int ucom_set_feed_meal(int fd, int a, int b, int c, int d);
int ucom_get_feed_meal(int fd);
int ucom_get_sensor(int fd, uint32_t* flags);
int ucom_r_event(int fd);
// The seven time fields of ucom_set_time from a "date" line
// ("%Y/%m/%d-%u-%H:%M:%S"); 0 when the line parses, -1 otherwise.
int ucom_time_fields(const char* date_line, uint8_t out[7]);
