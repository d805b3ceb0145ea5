// One numbering of small result codes for the whole program; each operation
// returns the pair of its own subsystem.
#pragma once

enum ResultCode {
    __BTTN_NONE = 1,
    __BTTN_FAC_RST = 2,
    __BTTN_WIFI_WPS = 3,
    __EVT_TIMEOUT = 6,
    __EVT_DONE = 7,
    __EVT_ERROR = 8,
    __CONF_DONE = 9,
    __CONF_ERROR = 10,
    __HTTP_ERROR = 11,
    __HTTP_DONE = 12,
    __WIFI_ERROR = 13,
    __WIFI_DONE = 14,
    __UCOM_ERROR = 15,
    __UCOM_DONE = 16,
    __SIP_ERROR = 18,
    __SIP_DONE = 19,
    __UDS_ERROR = 20,
    __UDS_DONE = 21,
};
