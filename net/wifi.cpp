#include "net/wifi.h"

#include <stdio.h>
#include <string.h>

#include "include/log.h"
#include "include/result_codes.h"
#include "include/variant.h"
#include "platform/atomic_file.h"
#include "platform/platform.h"
#include "platform/settings.h"

namespace {
const char kFactoryConfig[] =
    "ctrl_interface=/var/run/wpa_supplicant\n"
    "ctrl_interface_group=0\n"
    "update_config=1\n"
    "\n"
    "network={\n"
    "ssid=\"tolvik\"\n"
    "psk=\"wexrun3871\"\n"
    "proto=RSN\n"
    "key_mgmt=WPA-PSK\n"
    "pairwise=CCMP\n"
    "auth_alg=OPEN\n"
    "}\n";
static_assert(sizeof kFactoryConfig - 1 == 177, "the factory configuration is 177 bytes");
}  // namespace

int wifi_write_config() {
    // Replaced whole: a power cut mid-write must not leave the device with a
    // cut configuration and no way onto any network.
    if (write_file_atomic(plat_path("/etc/wpa_supplicant.conf").c_str(), kFactoryConfig,
                          sizeof kFactoryConfig - 1) < 0)
        return __WIFI_ERROR;
    return __WIFI_DONE;
}

int wifi_start_wps() {
    plat_system("killall wpa_supplicant &");
    plat_system("killall dhclient &");
    plat_sleep(1);
    plat_system("ifconfig wlan0 up");
    plat_system("wpa_supplicant -B -Dwext -iwlan0 -c/etc/wpa_supplicant.conf &");
    plat_sleep(4);
    plat_system("wpa_cli wps_pbc");
    plat_system("dhclient wlan0 &");
    plat_sleep(3);
    return __WIFI_DONE;
}

int wifi_check_connection() {
    if (plat_resolve(settings().probe_host) < 0) {
        perror("hostname");
        return __WIFI_ERROR;
    }
    puts("Wifi -> connection established!");
    fflush(stdout);
    if (!kSilentBuild) plat_system("/root/play /root/audio/systemwifi.g711");
    return __WIFI_DONE;
}
