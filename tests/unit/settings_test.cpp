// The deployment settings file.
#include <gtest/gtest.h>

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

TEST(Settings, MissingFileMeansDefaults) {
    Settings s, d;
    settings_defaults(&d);
    EXPECT_EQ(settings_load(&s, "/nonexistent/hopperd.conf"), 0);
    EXPECT_STREQ(s.sip_domain, d.sip_domain);
}

}  // namespace
