// The resident memory a process pays for Debian's libcurl alone: its thirty
// or so libraries loaded and relocated, and the global set-up that the
// daemon's cloud client does at start. Prints VmHWM, Pss, private memory
// (Private_Clean + Private_Dirty) and anonymous memory in kB.
#include <curl/curl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

// The kB after `key` in a /proc file of this process, or -1.
long field(const char* path, const char* key) {
    FILE* f = fopen(path, "r");
    if (!f) return -1;
    char line[256];
    long kb = -1;
    size_t n = strlen(key);
    while (fgets(line, sizeof line, f))
        if (strncmp(line, key, n) == 0) kb = atol(line + n);
    fclose(f);
    return kb;
}

}  // namespace

int main() {
    curl_global_init(CURL_GLOBAL_NOTHING);
    long peak = field("/proc/self/status", "VmHWM:");
    long pss = field("/proc/self/smaps_rollup", "Pss:");
    long clean = field("/proc/self/smaps_rollup", "Private_Clean:");
    long dirty = field("/proc/self/smaps_rollup", "Private_Dirty:");
    long anon = field("/proc/self/smaps_rollup", "Anonymous:");
    curl_global_cleanup();
    if (peak < 0 || pss < 0 || clean < 0 || dirty < 0 || anon < 0) return 1;
    printf("%ld %ld %ld %ld\n", peak, pss, clean + dirty, anon);
    return 0;
}
