#include "app/identity.h"

#include "platform/atomic_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <string>

#include "include/feeder.h"
#include "include/log.h"
#include "include/result_codes.h"
#include "platform/platform.h"

namespace {
const char kConfPath[] = "/etc/feeder.conf";
}

void strip_dashes(char* text) {
    char* w = text;
    for (const char* r = text; *r; ++r) {
        *w = *r;
        if (*r != '-') ++w;
    }
    *w = '\0';
}

int feeder_conf_read() {
    FILE* f = fopen(plat_path(kConfPath).c_str(), "re");
    if (!f) return __CONF_ERROR;
    // A token longer than the buffer is cut by the field width; the 39
    // characters kept are then not a canonical uuid and are refused below.
    char token[40] = {0};
    int n = fscanf(f, "uuid:%39s", token);
    fclose(f);
    if (n != 1) return __CONF_ERROR;
    uuid_t id;
    if (uuid_parse(token, id) != 0) return __CONF_ERROR;
    strip_dashes(token);
    Feeder* fd = get_feeder();
    size_t len = strnlen(token, sizeof fd->sipid - 1);  // a parsed uuid leaves 32 digits
    memcpy(fd->sipid, token, len);
    fd->sipid[len] = '\0';
    return __CONF_DONE;
}

int feeder_conf_write() {
    uuid_t id;
    uuid_generate_time_safe(id);  // the "safe" indication is not needed here
    char text[37];
    uuid_unparse_lower(id, text);
    char line[48];
    int len = snprintf(line, sizeof line, "uuid:%s\n", text);
    if (write_file_atomic(plat_path(kConfPath).c_str(), line, size_t(len)) < 0) return __CONF_ERROR;
    return __CONF_DONE;
}

void format_mac(const unsigned char mac[6], char* out, size_t n) {
    char text[19] = {0};
    for (int i = 0; i < 6; ++i) snprintf(text + 3 * i, sizeof text - 3 * i, "%02x:", mac[i]);
    text[17] = '\0';  // the trailing colon goes
    snprintf(out, n, "%s", text);
}

int get_mac_addr() {
    unsigned char mac[6];
    if (plat_if_hwaddr("wlan0", mac) < 0) return __WIFI_ERROR;
    Feeder* f = get_feeder();
    char text[sizeof f->product_id];
    format_mac(mac, text, sizeof text);
    // The cloud and SIP threads read the text without a lock (a long reset
    // press reads the address again while a report goes out). A hardware
    // address does not change, so a text already there is not written.
    if (strcmp(text, f->product_id) != 0) snprintf(f->product_id, sizeof f->product_id, "%s", text);
    return __WIFI_DONE;
}
