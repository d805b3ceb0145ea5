// The identity file, the MAC text and the device record.
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>

#include <atomic>
#include <string>
#include <thread>

#include "app/identity.h"
#include "include/feeder.h"
#include "include/result_codes.h"
#include "tests/support/sim_fixture.h"

namespace {

class Identity : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        feeder_reset(get_feeder());
    }
    std::string conf() { return root_ + "/etc/feeder.conf"; }
};

TEST(StripDashes, RemovesEveryDashInPlace) {
    char a[] = "12345678-9abc-def0-1234-56789abcdef0";
    strip_dashes(a);
    EXPECT_STREQ(a, "123456789abcdef0123456789abcdef0");
    char b[] = "--a--b-";
    strip_dashes(b);
    EXPECT_STREQ(b, "ab");
    char c[] = "";
    strip_dashes(c);
    EXPECT_STREQ(c, "");
}

TEST(FormatMac, SixBytesLowercaseNoTrailingColon) {
    const unsigned char mac[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    char out[18];
    format_mac(mac, out, sizeof out);
    EXPECT_STREQ(out, "00:1a:2b:3c:4d:5e");
}

TEST_F(Identity, MacFromTheInterface) {
    ASSERT_EQ(get_mac_addr(), __WIFI_DONE);
    EXPECT_STREQ(get_feeder()->product_id, "00:1a:2b:3c:4d:5e");
}

TEST_F(Identity, MissingInterfaceKeepsTheOldText) {
    ASSERT_EQ(get_mac_addr(), __WIFI_DONE);
    {
        std::lock_guard<std::mutex> hold(world().mu());
        world().has_wlan0 = false;
    }
    EXPECT_EQ(get_mac_addr(), __WIFI_ERROR);
    EXPECT_STREQ(get_feeder()->product_id, "00:1a:2b:3c:4d:5e");
}

// A long reset press reads the address again while the cloud thread puts
// it into a report; the text was written under the reader (a data race
// under ThreadSanitizer). The same address leaves it untouched.
TEST_F(Identity, MacReadAgainWhileAReportReadsIt) {
    ASSERT_EQ(get_mac_addr(), __WIFI_DONE);
    std::atomic<bool> go{true};
    int torn = 0;
    std::thread reader([&] {
        while (go) {
            char copy[sizeof get_feeder()->product_id];
            snprintf(copy, sizeof copy, "%s", get_feeder()->product_id);
            if (strcmp(copy, "00:1a:2b:3c:4d:5e") != 0) ++torn;
        }
    });
    for (int i = 0; i < 2000; ++i) EXPECT_EQ(get_mac_addr(), __WIFI_DONE);
    go = false;
    reader.join();
    EXPECT_EQ(torn, 0);
}

TEST_F(Identity, UppercaseUuidAccepted) {
    write_file(conf(), "uuid:0A1B2C3D-4E5F-11EE-8C90-0242AC120002\n");
    ASSERT_EQ(feeder_conf_read(), __CONF_DONE);
    EXPECT_STREQ(get_feeder()->sipid, "0A1B2C3D4E5F11EE8C900242AC120002");
}

TEST_F(Identity, BadFilesRefusedAndSipidUntouched) {
    const char* bad[] = {
        "",                                               // empty
        "garbage\n",                                      // no "uuid:"
        "uuid:\n",                                        // no token
        "uuid:0a1b2c3d4e-5f-11ee-8c90-0242ac120002\n",    // 36 characters, wrong dashes
        "uuid:0a1b2c3d-4e5f-11ee-8c90-0242ac12000\n",     // one digit short
        "uuid:0a1b2c3d-4e5f-11ee-8c90-0242ac12000g\n",    // not hex
        "uuid:0a1b2c3d-4e5f-11ee-8c90-0242ac120002ff\n",  // trailing digits
        "\x01\x02\xff\xfe uuid:0a1b2c3d-4e5f-11ee-8c90-0242ac120002\n",
    };
    for (const char* text : bad) {
        write_file(conf(), text);
        EXPECT_EQ(feeder_conf_read(), __CONF_ERROR) << text;
        EXPECT_STREQ(get_feeder()->sipid, "") << text;
    }
    remove(conf().c_str());
    EXPECT_EQ(feeder_conf_read(), __CONF_ERROR);
}

TEST_F(Identity, OverlongTokenIsBoundedAndRefused) {
    // A valid uuid followed by 10 kB more: the scan stops at its field width.
    std::string text = "uuid:0a1b2c3d-4e5f-11ee-8c90-0242ac120002" + std::string(10240, 'a') + "\n";
    write_file(conf(), text);
    EXPECT_EQ(feeder_conf_read(), __CONF_ERROR);
    EXPECT_STREQ(get_feeder()->sipid, "");
}

TEST_F(Identity, WriteThenReadGivesLowercaseDigits) {
    ASSERT_EQ(feeder_conf_write(), __CONF_DONE);
    std::string text = read_file(conf());
    ASSERT_EQ(text.size(), 5u + 36u + 1u);
    EXPECT_EQ(text.substr(0, 5), "uuid:");
    EXPECT_EQ(text.back(), '\n');
    ASSERT_EQ(feeder_conf_read(), __CONF_DONE);
    std::string sipid = get_feeder()->sipid;
    ASSERT_EQ(sipid.size(), 32u);
    for (char c : sipid) EXPECT_TRUE(isdigit(c) || (c >= 'a' && c <= 'f')) << sipid;
    // No temporary file is left behind beside it.
    struct stat st;
    EXPECT_NE(stat((conf() + ".tmp").c_str(), &st), 0);
}

TEST_F(Identity, RewriteGivesANewUuid) {
    ASSERT_EQ(feeder_conf_write(), __CONF_DONE);
    ASSERT_EQ(feeder_conf_read(), __CONF_DONE);
    std::string first = get_feeder()->sipid;
    ASSERT_EQ(feeder_conf_write(), __CONF_DONE);
    ASSERT_EQ(feeder_conf_read(), __CONF_DONE);
    EXPECT_NE(first, get_feeder()->sipid);
}

TEST_F(Identity, UnwritableFolderIsAnError) {
    remove_tree(root_ + "/etc");
    EXPECT_EQ(feeder_conf_write(), __CONF_ERROR);
    EXPECT_EQ(feeder_conf_read(), __CONF_ERROR);
}

TEST(FeederRecord, SessionsAreOwnedAndReleased) {
    Feeder* f = get_feeder();
    feeder_reset(f);
    EXPECT_EQ(f, get_feeder());
    feeder_destroy(f);  // nothing running: nothing to release
    EXPECT_EQ(f->in_manual, nullptr);
    f->in_manual = feed_session_alloc();
    ASSERT_NE(f->in_manual, nullptr);
    EXPECT_EQ(f->in_manual->fed_at, 0);
    EXPECT_EQ(f->in_manual->try_gram, 0);
    f->in_schedule = feed_session_alloc();
    feeder_destroy(f);
    EXPECT_EQ(f->in_manual, nullptr);
    EXPECT_EQ(f->in_schedule, nullptr);
}

}  // namespace
