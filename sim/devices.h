// The simulated GPIO chip (load-cell converter, buttons), the watchdog and the
// external programs, as the platform seam's simulation side reaches them.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

namespace sim {

class World;

int dev_open(World& w, const char* fixed, int flags);
int dev_ioctl(World& w, int fd, unsigned long request, uintptr_t arg);
ssize_t dev_write(World& w, int fd, const void* buf, size_t len);
int dev_close(World& w, int fd);

// `limit_ms` is the command's own (platform/command_limit.h): a program that
// runs longer is ended there, as the board's side ends it.
int shell_system(World& w, const char* cmd, int limit_ms);
FILE* shell_popen(World& w, const char* cmd, const char* mode);

}  // namespace sim
