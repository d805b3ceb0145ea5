// The resident memory a process pays for Debian's libcurl alone: its thirty
// or so libraries loaded and relocated, and the global set-up that the
// daemon's cloud client does at start. Prints VmHWM in kB.
#include <curl/curl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main() {
    curl_global_init(CURL_GLOBAL_NOTHING);
    FILE* f = fopen("/proc/self/status", "r");
    if (!f) return 1;
    char line[256];
    long kb = -1;
    while (fgets(line, sizeof line, f))
        if (strncmp(line, "VmHWM:", 6) == 0) kb = atol(line + 6);
    fclose(f);
    curl_global_cleanup();
    printf("%ld\n", kb);
    return kb < 0;
}
