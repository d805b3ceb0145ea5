// Device identity: the uuid in /etc/feeder.conf and the wlan0 hardware address.
#pragma once

#include <stddef.h>

int feeder_conf_read();   // __CONF_DONE / __CONF_ERROR; sets sipid
int feeder_conf_write();  // __CONF_DONE / __CONF_ERROR; a new time-based uuid
void strip_dashes(char* text);
int get_mac_addr();  // __WIFI_DONE / __WIFI_ERROR; sets product_id
// "00:1a:2b:3c:4d:5e" from six bytes; `out` holds at least 18 bytes.
void format_mac(const unsigned char mac[6], char* out, size_t n);
