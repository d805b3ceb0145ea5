// The local datagram sockets and the manual feeding service behind them.
#pragma once

enum { UDS_SERVER = 1, UDS_CLIENT = 2 };

// Mode 1: the server bound to /tmp/server.sock; mode 2: a client bound to
// /tmp/client.sock and connected to the server. -1 on failure.
int uds_open(int mode);
void uds_thread_proc(int fd);
int uds_r_event(int fd);  // handles one datagram: __UDS_DONE / __UDS_ERROR
int uds_close(int fd);    // closes a client and removes both socket files; 1

// Binds a datagram socket to `path` (a stale file there is removed first)
// and, when `peer` is given, connects it there. -1 on failure.
int uds_socket(const char* path, const char* peer);
