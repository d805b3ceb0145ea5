#include "platform/settings.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include <mutex>

#include "include/log.h"
#include "platform/platform.h"

namespace {

// Copies at most n - 1 characters and always terminates.
void copy_text(char* dst, size_t n, const char* src, size_t len) {
    if (len > n - 1) len = n - 1;
    memcpy(dst, src, len);
    dst[len] = '\0';
}

void trim(const char** b, const char** e) {
    while (*b < *e && isspace((unsigned char)**b)) ++*b;
    while (*e > *b && isspace((unsigned char)(*e)[-1])) --*e;
}

// A host name or address, with an optional port: "fw.tolvik.net",
// "10.0.0.7", "stun.example:3478", "[fe80::1]:123". These values are pasted
// into shell commands and hand-written requests, so nothing else passes: no
// blank, quote, ';', '$' or the like, and no leading '-' that a program would
// take for an option.
bool is_host(const char* b, size_t n) {
    if (n == 0 || b[0] == '-') return false;
    for (size_t i = 0; i < n; ++i) {
        char c = b[i];
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '-' || c == ':' || c == '[' || c == ']';
        if (!ok) return false;
    }
    return true;
}

// A numeric IPv4 or IPv6 address, without port or brackets.
bool is_address(const char* b, size_t n) {
    char text[INET6_ADDRSTRLEN];
    if (n == 0 || n >= sizeof text) return false;
    copy_text(text, sizeof text, b, n);
    unsigned char bytes[16];
    return inet_pton(AF_INET, text, bytes) == 1 || inet_pton(AF_INET6, text, bytes) == 1;
}

constexpr int kListMax = 8;
static_assert(NTP_SERVER_COUNT <= kListMax && SIP_STUN_COUNT <= kListMax &&
                  SIP_ALLOW_MAX <= kListMax,
              "every list fits the parser's table");

// "a, b, c" into at least `min` and at most `max` fields, each accepted by
// `ok`; the number of them, or -1 (the fields untouched).
int split_list(const char* b, const char* e, char (*out)[SETTING_TEXT_MAX], int min, int max,
               bool (*ok)(const char*, size_t)) {
    char tmp[kListMax][SETTING_TEXT_MAX];
    int n = 0;
    const char* p = b;
    while (p <= e) {
        const char* q = p;
        while (q < e && *q != ',') ++q;
        const char* ib = p;
        const char* ie = q;
        trim(&ib, &ie);
        if (n == max || size_t(ie - ib) >= SETTING_TEXT_MAX || !ok(ib, ie - ib)) return -1;
        copy_text(tmp[n++], SETTING_TEXT_MAX, ib, ie - ib);
        p = q + 1;
    }
    if (n < min) return -1;
    for (int i = 0; i < n; ++i) memcpy(out[i], tmp[i], SETTING_TEXT_MAX);
    return n;
}

}  // namespace

void settings_defaults(Settings* s) {
    memset(s, 0, sizeof *s);
    snprintf(s->sip_domain, sizeof s->sip_domain, "%s", HOPPERD_DEFAULT_SIP_DOMAIN);
    const char* stun[SIP_STUN_COUNT] = {HOPPERD_DEFAULT_SIP_STUN1, HOPPERD_DEFAULT_SIP_STUN2,
                                        HOPPERD_DEFAULT_SIP_STUN3, HOPPERD_DEFAULT_SIP_STUN4};
    for (int i = 0; i < SIP_STUN_COUNT; ++i)
        snprintf(s->sip_stun[i], sizeof s->sip_stun[i], "%s", stun[i]);
    snprintf(s->cloud_host, sizeof s->cloud_host, "%s", HOPPERD_DEFAULT_CLOUD_HOST);
    snprintf(s->firmware_host, sizeof s->firmware_host, "%s", HOPPERD_DEFAULT_FIRMWARE_HOST);
    const char* ntp[NTP_SERVER_COUNT] = {HOPPERD_DEFAULT_NTP1, HOPPERD_DEFAULT_NTP2,
                                         HOPPERD_DEFAULT_NTP3};
    for (int i = 0; i < NTP_SERVER_COUNT; ++i)
        snprintf(s->ntp_servers[i], sizeof s->ntp_servers[i], "%s", ntp[i]);
    snprintf(s->probe_host, sizeof s->probe_host, "%s", HOPPERD_DEFAULT_PROBE_HOST);
}

int settings_apply_line(Settings* s, const char* line, int lineno) {
    const char* b = line;
    const char* e = line + strlen(line);
    const char* hash = strchr(line, '#');
    if (hash) e = hash;
    trim(&b, &e);
    if (b == e) return 0;
    const char* eq = static_cast<const char*>(memchr(b, '=', e - b));
    if (!eq) {
        log_out("hopperd.conf:%d: no '=', line ignored\n", lineno);
        return -1;
    }
    const char* kb = b;
    const char* ke = eq;
    const char* vb = eq + 1;
    const char* ve = e;
    trim(&kb, &ke);
    trim(&vb, &ve);
    size_t klen = ke - kb;
    size_t vlen = ve - vb;
    auto is = [&](const char* k) { return strlen(k) == klen && memcmp(kb, k, klen) == 0; };
    // The outbound proxy is a SIP URI ("sip:host:port;lr"): it goes to the
    // SIP stack only, which parses it, and is not held to the host rule.
    struct Single {
        const char* key;
        char* field;
        bool may_be_empty;
        bool host;
    } singles[] = {
        {"sip_domain", s->sip_domain, false, true},
        {"sip_outbound_proxy", s->sip_outbound_proxy, true, false},
        {"sip_listen", s->sip_listen, true, true},
        {"cloud_host", s->cloud_host, false, true},
        {"firmware_host", s->firmware_host, false, true},
        {"probe_host", s->probe_host, false, true},
    };
    for (const Single& one : singles) {
        if (!is(one.key)) continue;
        bool bad = vlen == 0 ? !one.may_be_empty : one.host && !is_host(vb, vlen);
        if (bad || vlen >= SETTING_TEXT_MAX) {
            log_out("hopperd.conf:%d: bad value for %s, line ignored\n", lineno, one.key);
            return -1;
        }
        copy_text(one.field, SETTING_TEXT_MAX, vb, vlen);
        return 0;
    }
    int rc = 0;
    if (is("sip_stun")) {
        rc = split_list(vb, ve, s->sip_stun, SIP_STUN_COUNT, SIP_STUN_COUNT, is_host);
    } else if (is("ntp_servers")) {
        rc = split_list(vb, ve, s->ntp_servers, NTP_SERVER_COUNT, NTP_SERVER_COUNT, is_host);
    } else if (is("sip_allow")) {
        // Empty: no addresses beyond the service's proxy and domain.
        rc = vlen == 0 ? 0 : split_list(vb, ve, s->sip_allow, 1, SIP_ALLOW_MAX, is_address);
        if (rc >= 0) s->sip_allow_count = rc;
    } else {
        log_out("hopperd.conf:%d: unknown key '%.*s', line ignored\n", lineno, int(klen), kb);
        return -1;
    }
    if (rc >= 0) return 0;
    log_out("hopperd.conf:%d: bad list for %.*s, line ignored\n", lineno, int(klen), kb);
    return -1;
}

namespace {

enum class Line { Text, TooLong, HasNul, End };

// One line without its line feed into `buf` (`n` bytes). The length is what
// was read, not what strlen sees: a NUL byte must not hide an overlong line
// whose rest would then be taken for a line of its own.
Line read_line(FILE* f, char* buf, size_t n) {
    size_t len = 0;
    bool nul = false;
    int c;
    while ((c = getc(f)) != EOF && c != '\n') {
        if (len == n - 1) {
            while ((c = getc(f)) != EOF && c != '\n') {
            }
            return Line::TooLong;
        }
        nul |= c == '\0';
        buf[len++] = char(c);
    }
    if (c == EOF && len == 0) return Line::End;
    buf[len] = '\0';
    return nul ? Line::HasNul : Line::Text;
}

}  // namespace

int settings_load(Settings* s, const char* path) {
    settings_defaults(s);
    FILE* f = fopen(path, "re");
    if (!f) return 0;
    char line[512];
    int lineno = 0;
    int ignored = 0;
    for (Line kind; (kind = read_line(f, line, sizeof line)) != Line::End;) {
        ++lineno;
        if (kind == Line::TooLong) {
            log_out("hopperd.conf:%d: line too long, ignored\n", lineno);
            ++ignored;
        } else if (kind == Line::HasNul) {
            log_out("hopperd.conf:%d: NUL byte in the line, ignored\n", lineno);
            ++ignored;
        } else if (settings_apply_line(s, line, lineno) < 0) {
            ++ignored;
        }
    }
    fclose(f);
    return ignored;
}

namespace {
Settings g_settings;
std::once_flag g_settings_once;
}  // namespace

void settings_reload() {
    settings_load(&g_settings, plat_path("/etc/hopperd.conf").c_str());
}

const Settings& settings() {
    std::call_once(g_settings_once, settings_reload);
    return g_settings;
}
