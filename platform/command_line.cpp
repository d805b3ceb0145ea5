#include <string.h>

#include "platform/platform.h"

bool plat_command_line(const char* cmd, char* buf, int n) {
    memset(buf, 0, size_t(n));
    FILE* p = plat_popen(cmd, "r");
    if (!p) return false;
    if (!fgets(buf, n, p)) buf[0] = '\0';
    plat_pclose(p);
    return true;
}
