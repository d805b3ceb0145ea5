// A small registry of descriptors with read handlers, and one poll pass
// over them whose handler results go to the button action dispatcher.
#pragma once

enum { FDS_MAX = 20 };  // the poll table; fds_add refuses a 21st descriptor

using FdHandler = int (*)(int fd);

int fds_add(int fd, FdHandler r_event);  // 0, or -1 (no memory, or the table is full)
int fds_loop();                          // __EVT_TIMEOUT / __EVT_DONE / __EVT_ERROR
int fds_clear();                         // -1 when the registry was empty, else 0
