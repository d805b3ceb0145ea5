// The seam between the daemon and the board.
//
// Everything the board has and a desk does not goes through these calls. Two
// implementations link against the same program code: platform/board (the
// literal system calls, shipped as hopperd) and platform/sim (the board
// simulator, used by hopperd-sim and the tests). Serial I/O, sockets, message
// queues and files stay real on both sides; only their fixed paths are mapped.
#pragma once

#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/time.h>
#include <sys/types.h>
#include <time.h>

#include <string>

// --- clock -----------------------------------------------------------------
// Epoch seconds past 2038 must fit: a 32-bit board builds with _TIME_BITS=64.
static_assert(sizeof(time_t) == 8, "time_t must be 64-bit");
time_t plat_time();                          // wall clock, seconds
void plat_gettimeofday(struct timeval* tv);  // wall clock, microseconds
int plat_settimeofday(const struct timeval* tv);
int64_t plat_monotonic_us();  // for bounding waits, never jumps
void plat_sleep(unsigned seconds);
void plat_usleep(unsigned microseconds);
// poll(2) whose time-out runs on the platform clock; descriptors are real.
int plat_poll(struct pollfd* fds, nfds_t nfds, int timeout_ms);
// A worker thread about to be started, and its first step. On the board
// nothing; in simulation the clock holds still between the two, so that time
// does not skip past a thread the machine has not yet run.
void plat_thread_coming();
void plat_thread_arrived();

// --- fixed paths -------------------------------------------------------------
// The board path of a fixed file or device ("/etc/feeder.conf") as this
// platform reaches it. Board: unchanged. Simulation: below the world's root.
std::string plat_path(const char* fixed);

// The System V IPC key of a fixed queue (1234 on the board). In simulation a
// world may use a key of its own, so parallel tests never share a queue.
key_t plat_msgq_key(key_t fixed);

// --- devices without a file of their own on a desk ----------------------------
// GPIO ports and the watchdog. Descriptors are real and pollable on both sides.
int plat_dev_open(const char* fixed, int flags);
int plat_dev_ioctl(int fd, unsigned long request, uintptr_t arg);
ssize_t plat_dev_write(int fd, const void* buf, size_t len);
int plat_dev_close(int fd);

// --- network interface ---------------------------------------------------------
// Hardware address of an interface (SIOCGIFHWADDR); 0 on success, -1 on failure.
int plat_if_hwaddr(const char* ifname, unsigned char mac[6]);
// Name resolution for the connectivity check: 0 when the name resolves.
int plat_resolve(const char* host);

// --- external programs ---------------------------------------------------------
// Each command runs for at most `limit_ms` (below 0: the limit that fits its
// program, platform/command_limit.h). Past it the command is ended, with
// whatever it started, and logged; its status is then that of a shell
// killed by SIGKILL. A plat_popen stream's limit runs from its start to its
// plat_pclose.
int plat_system(const char* cmd, int limit_ms = -1);
FILE* plat_popen(const char* cmd, const char* mode, int limit_ms = -1);
int plat_pclose(FILE* fp);
// The first line of a command's output, line end kept, into `buf` (`n`
// bytes, zeroed first; empty when the command prints nothing, or nothing
// within its limit). False when the command could not be started. Built on
// plat_popen: the same on both sides.
bool plat_command_line(const char* cmd, char* buf, int n, int limit_ms = -1);
