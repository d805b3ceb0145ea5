// libFuzzer target: any bytes as the deployment settings file.
//
// Each setting ends as its default or as the value of a line that names it;
// a line longer than the reader's buffer is ignored whole, never applied in
// part; a well-formed line is applied, the last one of a key winning.
#include <arpa/inet.h>
#include <ctype.h>
#include <stdint.h>
#include <string.h>

#include <set>
#include <string>
#include <vector>

#include "fuzz/harness.h"
#include "platform/settings.h"

namespace {

std::string g_file;

// Lines up to this length are read whole; from kOverlong on they exceed the
// reader's 512-byte buffer. The two lengths between are the reader's choice
// (room for the line end and the NUL).
const size_t kReadWhole = 509;
const size_t kOverlong = 512;

enum Field { DOMAIN, STUN, PROXY, LISTEN, CLOUD, FIRMWARE, NTP, PROBE, ALLOW, FIELDS };
struct Key {
    const char* name;
    Field field;
    int items;  // 0: a single value; otherwise the most a list holds
    bool may_be_empty;
    bool addresses;  // list items are numeric addresses, and there may be fewer
} const kKeys[] = {
    {"sip_domain", DOMAIN, 0, false, false},
    {"sip_stun", STUN, SIP_STUN_COUNT, false, false},
    {"sip_outbound_proxy", PROXY, 0, true, false},
    {"sip_listen", LISTEN, 0, true, false},
    {"cloud_host", CLOUD, 0, false, false},
    {"firmware_host", FIRMWARE, 0, false, false},
    {"ntp_servers", NTP, NTP_SERVER_COUNT, false, false},
    {"probe_host", PROBE, 0, false, false},
    {"sip_allow", ALLOW, SIP_ALLOW_MAX, true, true},
};

// A field as one text; list items joined by a separator no item holds.
std::string field_text(const Settings& s, Field f) {
    auto list = [](const char(*items)[SETTING_TEXT_MAX], int n) {
        std::string t;
        for (int i = 0; i < n; ++i) t += std::string(items[i]) + '\x1f';
        return t;
    };
    switch (f) {
        case DOMAIN:
            return s.sip_domain;
        case STUN:
            return list(s.sip_stun, SIP_STUN_COUNT);
        case PROXY:
            return s.sip_outbound_proxy;
        case LISTEN:
            return s.sip_listen;
        case CLOUD:
            return s.cloud_host;
        case FIRMWARE:
            return s.firmware_host;
        case NTP:
            return list(s.ntp_servers, NTP_SERVER_COUNT);
        case PROBE:
            return s.probe_host;
        case ALLOW:
            return list(s.sip_allow, s.sip_allow_count);
        case FIELDS:
            break;
    }
    return "";
}

std::string trimmed(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

// A value a shell or a resolver takes as one host name or address. Any other
// value may be refused, as a reader that guards the shell does.
bool host_like(const std::string& v) {
    const char ok[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-:[]";
    return strspn(v.c_str(), ok) == v.size() && (v.empty() || v[0] != '-');
}

bool numeric_address(const std::string& v) {
    unsigned char bytes[16];
    return v.find('\0') == std::string::npos && (inet_pton(AF_INET, v.c_str(), bytes) == 1 ||
                                                 inet_pton(AF_INET6, v.c_str(), bytes) == 1);
}

struct Effect {
    bool applies = false;
    bool ignored = false;  // reported and left out (blank and comment lines are not)
    bool sure = true;      // false: ignoring the line is sound as well
    Field field = FIELDS;
    std::string value;
};

// What one line (its text up to a NUL, without the line end) sets.
Effect line_effect(const std::string& line) {
    Effect none;
    none.ignored = true;
    std::string t = trimmed(line.substr(0, line.find('#')));
    if (t.empty()) return Effect();
    size_t eq = t.find('=');
    if (eq == std::string::npos) return none;
    std::string key = trimmed(t.substr(0, eq));
    std::string value = trimmed(t.substr(eq + 1));
    for (const Key& k : kKeys) {
        if (key != k.name) continue;
        Effect e;
        e.field = k.field;
        if (k.items == 0) {
            if ((value.empty() && !k.may_be_empty) || value.size() >= SETTING_TEXT_MAX) return none;
            e.sure = host_like(value);
            e.value = value;
        } else if (value.empty() && k.may_be_empty) {
            // An empty list: no items.
        } else {
            std::vector<std::string> items;
            size_t p = 0;
            for (;;) {
                size_t q = value.find(',', p);
                items.push_back(trimmed(value.substr(p, q == std::string::npos ? q : q - p)));
                if (q == std::string::npos) break;
                p = q + 1;
            }
            if (k.addresses ? int(items.size()) > k.items : int(items.size()) != k.items)
                return none;
            for (const std::string& it : items) {
                if (it.empty() || it.size() >= SETTING_TEXT_MAX) return none;
                if (k.addresses && !numeric_address(it)) return none;
                e.sure = e.sure && host_like(it);
                e.value += it + '\x1f';
            }
        }
        e.applies = true;
        return e;
    }
    return none;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_file = fuzz::start_board(false) + "/etc/hopperd.conf";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::put_file(g_file, data, size);
    Settings got;
    int ignored = settings_load(&got, g_file.c_str());

    // Each field's possible end values, line by line.
    Settings defaults;
    settings_defaults(&defaults);
    std::set<std::string> may[FIELDS];
    for (int f = 0; f < FIELDS; ++f) may[f] = {field_text(defaults, Field(f))};
    int least = 0, most = 0;  // ignored lines
    std::string file(reinterpret_cast<const char*>(data), size);
    for (size_t p = 0; p < size;) {
        size_t nl = file.find('\n', p);
        size_t end = nl == std::string::npos ? size : nl;
        std::string line = file.substr(p, end - p);
        p = end + 1;
        if (line.size() >= kOverlong) {
            ++least;
            ++most;
            continue;
        }
        size_t nul = line.find('\0');
        Effect e = line_effect(line.substr(0, nul));
        bool sure = e.sure && nul == std::string::npos && line.size() <= kReadWhole;
        if (!e.applies) {
            least += e.ignored;
            most += e.ignored || !sure;
            continue;
        }
        if (sure) {
            may[e.field] = {e.value};
        } else {
            may[e.field].insert(e.value);
            ++most;
        }
    }
    for (int f = 0; f < FIELDS; ++f) {
        std::string v = field_text(got, Field(f));
        FUZZ_CHECK(may[f].count(v), "%s is \"%s\", which no line of the file gives", kKeys[f].name,
                   v.c_str());
    }
    FUZZ_CHECK(ignored >= least && ignored <= most, "%d lines ignored, expected %d..%d", ignored,
               least, most);
    return 0;
}
