// The deployment settings of a device on a desk: every service on loopback.
#pragma once

#include <string>

struct DeskConf {
    std::string cloud_host;      // empty: a loopback address nobody serves
    std::string sip_listen;      // empty: a loopback address of its own
    std::string sip_proxy;       // empty: a loopback address nobody serves
    std::string sip_allow = "";  // more addresses of the SIP service ("a, b"); empty: none
};

// Writes ROOT/etc/hopperd.conf (creating ROOT/etc) and returns the SIP
// listen address used.
std::string write_desk_conf(const std::string& root, const DeskConf& conf = {});
