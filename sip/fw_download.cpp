#include "sip/fw_download.h"

#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "include/log.h"
#include "platform/atomic_file.h"
#include "platform/platform.h"

bool fw_download(const char* url, const char* fixed) {
    std::string part_fixed = std::string(fixed) + ".part";
    int rc = plat_system(("wget -O " + part_fixed + " " + url).c_str());
    std::string part = plat_path(part_fixed.c_str()), path = plat_path(fixed);
    struct stat st;
    // An empty body is no program either.
    bool whole = rc == 0 && stat(part.c_str(), &st) == 0 && st.st_size > 0;
    if (whole && chmod(part.c_str(), 0755) == 0 &&
        replace_file_atomic(part.c_str(), path.c_str()) == 0)
        return true;
    unlink(part.c_str());
    log_out("%s : download failed (status %d), %s kept as it was\n", url, rc, fixed);
    return false;
}
