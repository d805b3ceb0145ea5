#include "tests/support/desk.h"

#include <sys/stat.h>

#include "tests/support/cloud.h"
#include "tests/support/files.h"

std::string write_desk_conf(const std::string& root, const DeskConf& conf) {
    std::string listen = conf.sip_listen.empty() ? unused_loopback() : conf.sip_listen;
    std::string cloud = conf.cloud_host.empty() ? unused_loopback() : conf.cloud_host;
    std::string proxy =
        conf.sip_proxy.empty() ? "sip:" + unused_loopback() + ":5080" : conf.sip_proxy;
    mkdir((root + "/etc").c_str(), 0755);
    write_file(root + "/etc/hopperd.conf",
               "cloud_host = " + cloud + "\nsip_domain = feeder.test\nsip_listen = " + listen +
                   "\nsip_outbound_proxy = " + proxy + "\n" +
                   (conf.sip_allow.empty() ? "" : "sip_allow = " + conf.sip_allow + "\n"));
    return listen;
}
