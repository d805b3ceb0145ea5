// Frames, checksums and the time fields of the MCU link, without I/O.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gpio/gpio.h"
#include "mcu/ucom.h"
#include "sim/world.h"

namespace {

std::string frame_hex(uint8_t code, std::vector<uint8_t> data) {
    uint8_t buf[UCOM_FRAME_MAX];
    int len = ucom_build_frame(buf, code, data.data(), int(data.size()));
    return sim::hex(buf, size_t(len));
}

TEST(Checksum, ComplementOfTheByteSum) {
    const uint8_t sensor[] = {0x30, 0x00};
    EXPECT_EQ(ucom_checksum(2, sensor), 0xCF);
    EXPECT_EQ(ucom_checksum(0, sensor), 0xFF);
    EXPECT_EQ(ucom_checksum(-4, sensor), 0xFF);
    const uint8_t wrap[] = {0xFF, 0xFF, 0x03};  // sum wraps to 0x01
    EXPECT_EQ(ucom_checksum(3, wrap), 0xFE);
}

TEST(Frame, RequestExamples) {
    EXPECT_EQ(frame_hex(UCOM_GET_SENSOR, {0x00}), "A1 02 30 00 CF A8");
    EXPECT_EQ(frame_hex(UCOM_LED3, {0x01}), "A1 02 03 01 FB A8");
    EXPECT_EQ(frame_hex(UCOM_LED4, {0x01}), "A1 02 04 01 FA A8");
    EXPECT_EQ(frame_hex(UCOM_FEED_MEAL, {0x05}), "A1 02 11 05 E9 A8");
    EXPECT_EQ(frame_hex(UCOM_MOTOR_BACK, {20}), "A1 02 14 14 D7 A8");
    EXPECT_EQ(frame_hex(UCOM_BOWL_IN, {0x00}), "A1 02 12 00 ED A8");
    EXPECT_EQ(frame_hex(UCOM_EVENT_80, {0x00}), "A1 02 80 00 7F A8");
    EXPECT_EQ(frame_hex(UCOM_EVENT_81, {0x00}), "A1 02 81 00 7E A8");
    EXPECT_EQ(frame_hex(UCOM_SET_FEED_MEAL, {1, 2, 3, 4}), "A1 05 21 01 02 03 04 D4 A8");
}

TEST(Frame, ModelAndDaemonAgreeOnEveryCodeAndValue) {
    // The simulator frames on its own; both must produce the same bytes.
    for (int code : {0x01, 0x03, 0x11, 0x30, 0x80}) {
        for (int v = 0; v < 256; v += 17) {
            auto f = sim::make_frame(uint8_t(code), {uint8_t(v)});
            EXPECT_EQ(frame_hex(uint8_t(code), {uint8_t(v)}), sim::hex(f.data(), f.size()));
        }
    }
}

TEST(TimeFields, SundayEveningExample) {
    uint8_t f[7];
    ASSERT_EQ(ucom_time_fields("2026/12/06-7-18:30:00\n", f), 0);
    std::vector<uint8_t> data(f, f + 7);
    EXPECT_EQ(frame_hex(UCOM_SET_TIME, data), "A1 08 01 1A 0C 06 07 12 1E 00 9B A8");
}

TEST(TimeFields, YearByteCoversTwoThousandTo2255) {
    uint8_t f[7];
    ASSERT_EQ(ucom_time_fields("2000/01/01-6-00:00:00", f), 0);
    EXPECT_EQ(f[0], 0x00);
    ASSERT_EQ(ucom_time_fields("2255/12/31-1-23:59:59", f), 0);
    EXPECT_EQ(f[0], 0xFF);
    EXPECT_EQ(f[6], 59);
}

TEST(TimeFields, UnparsableDateIsRefused) {
    uint8_t f[7] = {9, 9, 9, 9, 9, 9, 9};
    EXPECT_EQ(ucom_time_fields("", f), -1);
    EXPECT_EQ(ucom_time_fields("date: not found", f), -1);
    EXPECT_EQ(ucom_time_fields("2026/12/06-7-18:30", f), -1);
    EXPECT_EQ(f[0], 9);
}

TEST(LoadCellFrame, MarkerAndReading) {
    EXPECT_EQ(ldcell_frame_value(0xFFFFF041u), 1048575);
    EXPECT_EQ(ldcell_frame_value(0x00000041u), 0);
    EXPECT_EQ(ldcell_frame_value((100u << 12) | 0xF41u), 100);  // bits 11..8 unused
    EXPECT_EQ(ldcell_frame_value(0xFFFFF040u), -1);
    EXPECT_EQ(ldcell_frame_value(0x00000000u), -1);
    EXPECT_EQ(ldcell_frame_value(0x000041FFu), -1);
}

}  // namespace
