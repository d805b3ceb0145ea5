// The two push buttons: long-press detection and their actions.
#pragma once

enum { BTTN_LONG_PRESS_S = 5 };  // a second edge more than this later is a long press

int bttn_r_event(int fd);  // __BTTN_NONE / __BTTN_FAC_RST / __BTTN_WIFI_WPS
void bttn_thread_proc(int fd);
int bttn_action(int event);  // the registration result for a factory default, else 0
