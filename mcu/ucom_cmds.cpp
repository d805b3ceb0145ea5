// The MCU command set: one request frame, one exchange, one result each.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "include/log.h"
#include "include/result_codes.h"
#include "mcu/ucom.h"
#include "platform/platform.h"

namespace {

// Builds the request, exchanges it and, on success, hands back the reply byte
// at offset 3 through `out` (when given).
int command(int fd, const char* name, uint8_t code, const uint8_t* data, int ndata, int R,
            uint8_t* out = nullptr) {
    uint8_t req[UCOM_FRAME_MAX];
    uint8_t reply[UCOM_FRAME_MAX];
    int len = ucom_build_frame(req, code, data, ndata);
    int n = 0;
    int rc = ucom_exchange(fd, req, len, name, reply, R, &n);
    if (rc == __UCOM_DONE && out) *out = reply[3];
    return rc;
}

int one_byte(int fd, const char* name, uint8_t code, uint8_t value, int R) {
    return command(fd, name, code, &value, 1, R);
}

// A request without argument whose reply carries a value at offset 3.
int query(int fd, const char* name, uint8_t code, int R, uint8_t* value) {
    uint8_t zero = 0;
    return command(fd, name, code, &zero, 1, R, value);
}

}  // namespace

int ucom_time_fields(const char* date_line, uint8_t out[7]) {
    int y, mo, d, wd, h, mi, s;
    if (sscanf(date_line, "%d/%d/%d-%d-%d:%d:%d", &y, &mo, &d, &wd, &h, &mi, &s) != 7) return -1;
    out[0] = uint8_t((y & 0xFF) + 0x30);  // year - 2000 for 2000..2255
    out[1] = uint8_t(mo);
    out[2] = uint8_t(d);
    out[3] = uint8_t(wd);
    out[4] = uint8_t(h);
    out[5] = uint8_t(mi);
    out[6] = uint8_t(s);
    return 0;
}

int ucom_set_time(int fd) {
    char line[80];
    plat_command_line("date +%Y/%m/%d-%u-%H:%M:%S", line, sizeof line);
    uint8_t fields[7];
    if (ucom_time_fields(line, fields) < 0) {
        // Sending uninitialised fields would set the MCU clock to garbage.
        log_out("ucom_set_time : no date, nothing sent\n");
        return __UCOM_ERROR;
    }
    return command(fd, __func__, UCOM_SET_TIME, fields, 7, 6);
}

int ucom_get_time(int fd) {
    return one_byte(fd, __func__, UCOM_GET_TIME, 0, 12);
}

int ucom_set_led(int fd, int on, int led) {
    return one_byte(fd, __func__, uint8_t(led), uint8_t(on), 6);
}

int ucom_get_batv(int fd) {
    return one_byte(fd, __func__, UCOM_GET_BATV, 0, 7);
}

int ucom_get_feeder_status(int fd, int* status) {
    uint8_t value = 0;
    int rc = query(fd, __func__, UCOM_GET_STATUS, 7, &value);
    if (rc == __UCOM_DONE) *status = value;
    return rc;
}

int ucom_feed_meal(int fd, int count) {
    if (count <= 0) return __UCOM_DONE;
    return one_byte(fd, __func__, UCOM_FEED_MEAL, uint8_t(count), 6);
}

int ucom_bowl_in(int fd) {
    return one_byte(fd, __func__, UCOM_BOWL_IN, 0, 6);
}
int ucom_bowl_out(int fd) {
    return one_byte(fd, __func__, UCOM_BOWL_OUT, 0, 6);
}

int ucom_feed_motor_back(int fd, int count) {
    if (count <= 0) return __UCOM_DONE;
    return one_byte(fd, __func__, UCOM_MOTOR_BACK, uint8_t(count), 6);
}

int ucom_set_feed_meal(int fd, int a, int b, int c, int d) {
    uint8_t data[4] = {uint8_t(a), uint8_t(b), uint8_t(c), uint8_t(d)};
    return command(fd, __func__, UCOM_SET_FEED_MEAL, data, 4, 6);
}

int ucom_get_feed_meal(int fd) {
    return one_byte(fd, __func__, UCOM_GET_FEED_MEAL, 0, 10);
}

int ucom_get_sensor(int fd, uint32_t* flags) {
    uint8_t value = 0;
    int rc = query(fd, __func__, UCOM_GET_SENSOR, 6, &value);
    if (rc == __UCOM_DONE) *flags = value;
    return rc;
}

int ucom_r_event(int fd) {
    uint8_t buf[1024] = {0};
    int n = fd > 0 ? int(read(fd, buf, sizeof buf)) : -1;
    log_out("read %d bytes from %s\n", n, __func__);
    if (!ucom_reply_ok(buf, n)) {
        perror("read");
        ucom_dump(0, __func__, n > 0 ? n : 0, buf);
        LOG_RETURN(__UCOM_ERROR);
    }
    uint8_t code = buf[2];
    if (code == UCOM_EVENT_80 || code == UCOM_EVENT_81) {
        if (ucom_ack_event(fd, code) < 0) {
            perror("write");
            LOG_RETURN(__UCOM_ERROR);
        }
    }
    LOG_RETURN(__UCOM_DONE);
}
