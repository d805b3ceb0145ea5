// wpa_supplicant's stand-in on the board image: with -B it goes into the
// background as the real one does and stays there, holding its name, until
// it is killed (killall wpa_supplicant).
#include <string.h>
#include <unistd.h>

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (strcmp(argv[i], "-B") == 0 && daemon(0, 0) < 0) return 1;
    for (;;) pause();
}
