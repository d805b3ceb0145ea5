// The deployment settings file.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "platform/settings.h"
#include "tests/support/sim_fixture.h"

namespace {

TEST(Settings, DefaultsAreComplete) {
    Settings s;
    settings_defaults(&s);
    EXPECT_STRNE(s.sip_domain, "");
    for (auto& stun : s.sip_stun) EXPECT_STRNE(stun, "");
    for (auto& ntp : s.ntp_servers) EXPECT_STRNE(ntp, "");
    EXPECT_STREQ(s.ntp_servers[0], "kr.pool.ntp.org");
    EXPECT_STREQ(s.sip_outbound_proxy, "");  // no outbound proxy unless set
}

TEST(Settings, FileOverridesAndIgnoresWhatItCannotUse) {
    std::string dir = make_temp_dir("conf");
    std::string path = dir + "/hopperd.conf";
    write_file(path,
               "# desk settings\n"
               "sip_domain = feeder.test   # the local SIP service\n"
               "sip_outbound_proxy=sip:127.0.0.1:5080\n"
               "sip_stun = s1, s2:3478 , s3,s4\n"
               "ntp_servers = a, b\n"  // too few: ignored
               "colour = blue\n"       // unknown key: ignored
               "cloud_host =\n"        // empty: ignored
               "no equals sign here\n"
               "\n"
               "probe_host = probe.test\n" +
                   std::string(600, 'x') +
                   "\n"  // overlong line: ignored
                   "firmware_host = fw.test\n");
    Settings s;
    EXPECT_EQ(settings_load(&s, path.c_str()), 5);
    EXPECT_STREQ(s.sip_domain, "feeder.test");
    EXPECT_STREQ(s.sip_outbound_proxy, "sip:127.0.0.1:5080");
    EXPECT_STREQ(s.sip_stun[0], "s1");
    EXPECT_STREQ(s.sip_stun[1], "s2:3478");
    EXPECT_STREQ(s.sip_stun[3], "s4");
    EXPECT_STREQ(s.ntp_servers[0], "kr.pool.ntp.org");  // the bad list left the defaults
    EXPECT_STRNE(s.cloud_host, "");
    EXPECT_STREQ(s.probe_host, "probe.test");
    EXPECT_STREQ(s.firmware_host, "fw.test");
    remove_tree(dir);
}

TEST(Settings, OverlongValueIsRefusedNotCut) {
    Settings s;
    settings_defaults(&s);
    std::string line = "sip_domain = " + std::string(SETTING_TEXT_MAX, 'd');
    EXPECT_EQ(settings_apply_line(&s, line.c_str(), 1), -1);
    EXPECT_STRNE(s.sip_domain, "");
    EXPECT_LT(strlen(s.sip_domain), size_t(SETTING_TEXT_MAX));
}

// Host values end up in "ntpdate %s", "wget ... http://%s:8088/..." and
// hand-written HTTP requests: anything but a host name or address is refused.
TEST(Settings, HostileHostValuesAreIgnored) {
    const char* keys[] = {"sip_domain", "sip_listen", "cloud_host", "firmware_host", "probe_host"};
    const char* hostile[] = {"fw.test; reboot", "fw.test&reboot", "$(reboot)", "`reboot`",
                             "fw.test|sh",      "'fw.test'",      "\"fw\"",    "fw test",
                             "fw.test>/etc/x",  "-oProxy=x",      "fw\ttest"};
    for (const char* key : keys) {
        for (const char* value : hostile) {
            Settings s, d;
            settings_defaults(&s);
            settings_defaults(&d);
            std::string line = std::string(key) + " = " + value;
            EXPECT_EQ(settings_apply_line(&s, line.c_str(), 7), -1) << line;
            EXPECT_EQ(memcmp(&s, &d, sizeof s), 0) << line;
        }
    }
    Settings s, d;
    settings_defaults(&s);
    settings_defaults(&d);
    for (const char* list :
         {"ntp_servers = a, b;reboot, c", "ntp_servers = a, -d, c", "ntp_servers = a, $(id), c",
          "sip_stun = a, b, c, d e", "sip_stun = a, b, c, 'd'"}) {
        EXPECT_EQ(settings_apply_line(&s, list, 9), -1) << list;
        EXPECT_EQ(memcmp(&s, &d, sizeof s), 0) << list;
    }
}

TEST(Settings, HostNamesAndAddressesAreAccepted) {
    Settings s;
    settings_defaults(&s);
    EXPECT_EQ(settings_apply_line(&s, "ntp_servers = 10.0.0.1, [fe80::1]:123, Ntp-2.example", 1),
              0);
    EXPECT_STREQ(s.ntp_servers[1], "[fe80::1]:123");
    EXPECT_STREQ(s.ntp_servers[2], "Ntp-2.example");
    EXPECT_EQ(settings_apply_line(&s, "firmware_host = fw-1.tolvik.net", 2), 0);
    EXPECT_STREQ(s.firmware_host, "fw-1.tolvik.net");
    EXPECT_EQ(settings_apply_line(&s, "sip_listen = ::1", 3), 0);
    EXPECT_EQ(settings_apply_line(&s, "sip_stun = a:3478, [::1]:3478, c, d", 4), 0);
    // The outbound proxy is a SIP URI for the SIP stack, parameters and all.
    EXPECT_EQ(settings_apply_line(&s, "sip_outbound_proxy = sip:127.0.0.1:5080;lr", 5), 0);
    EXPECT_STREQ(s.sip_outbound_proxy, "sip:127.0.0.1:5080;lr");
}

// The allow-list names more addresses of the SIP service: numeric ones
// only (a name would need a lookup on every request), up to eight. A bad
// list is ignored whole and leaves the one before.
TEST(Settings, AllowListTakesAddressesOnly) {
    Settings s;
    settings_defaults(&s);
    EXPECT_EQ(s.sip_allow_count, 0);
    EXPECT_EQ(settings_apply_line(&s, "sip_allow = 10.0.0.5 , 2001:db8::1,192.168.7.1", 1), 0);
    ASSERT_EQ(s.sip_allow_count, 3);
    EXPECT_STREQ(s.sip_allow[0], "10.0.0.5");
    EXPECT_STREQ(s.sip_allow[1], "2001:db8::1");
    EXPECT_STREQ(s.sip_allow[2], "192.168.7.1");
    const char* bad[] = {
        "sip_allow = sip.example",           // a name
        "sip_allow = 10.0.0.5:5060",         // a port
        "sip_allow = [2001:db8::1]",         // brackets
        "sip_allow = 10.0.0.5, , 10.0.0.6",  // an empty entry
        "sip_allow = 10.0.0.5; reboot",      // anything else
        "sip_allow = 10.0.0.0/24",           // a network
        "sip_allow = 1.1.1.1, 1.1.1.2, 1.1.1.3, 1.1.1.4, 1.1.1.5, 1.1.1.6, 1.1.1.7, 1.1.1.8, "
        "1.1.1.9",  // nine
    };
    for (const char* line : bad) {
        EXPECT_EQ(settings_apply_line(&s, line, 2), -1) << line;
        EXPECT_EQ(s.sip_allow_count, 3) << line;
        EXPECT_STREQ(s.sip_allow[0], "10.0.0.5") << line;
    }
    EXPECT_EQ(
        settings_apply_line(
            &s, "sip_allow = 1.1.1.1, 1.1.1.2, 1.1.1.3, 1.1.1.4, 1.1.1.5, 1.1.1.6, 1.1.1.7, ::1",
            3),
        0);
    EXPECT_EQ(s.sip_allow_count, SIP_ALLOW_MAX);
    EXPECT_EQ(settings_apply_line(&s, "sip_allow =", 4), 0);  // none
    EXPECT_EQ(s.sip_allow_count, 0);
}

// A NUL byte must not cut a line short: neither to hide that it is too long
// (its rest then read as a setting of its own) nor to keep half a value.
TEST(Settings, NulByteHidesNothing) {
    std::string dir = make_temp_dir("conf");
    std::string path = dir + "/hopperd.conf";
    std::string overlong =
        std::string("x\0", 2) + std::string(509, '#') + "cloud_host = evil.example\n";
    write_file(path, overlong + std::string("firmware_host = fw.test\0; reboot\n", 33) +
                         "probe_host = probe.test\n");
    Settings s, d;
    settings_defaults(&d);
    EXPECT_EQ(settings_load(&s, path.c_str()), 2);
    EXPECT_STREQ(s.cloud_host, d.cloud_host);
    EXPECT_STREQ(s.firmware_host, d.firmware_host);
    EXPECT_STREQ(s.probe_host, "probe.test");
    remove_tree(dir);
}

TEST(Settings, MissingFileMeansDefaults) {
    Settings s, d;
    settings_defaults(&d);
    EXPECT_EQ(settings_load(&s, "/nonexistent/hopperd.conf"), 0);
    EXPECT_STREQ(s.sip_domain, d.sip_domain);
}

}  // namespace
