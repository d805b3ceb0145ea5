// Wi-Fi: the factory supplicant configuration, WPS push-button, and the
// connectivity check.
#pragma once

int wifi_write_config();      // __WIFI_DONE (__WIFI_ERROR when it could not be written)
int wifi_start_wps();         // __WIFI_DONE after about 8 s
int wifi_check_connection();  // __WIFI_DONE when the probe host resolves
