// The firmware updater's stand-in on the board image: it runs in the
// background as /root/fw_update, as the real one does, and waits in a blocking
// receive on the daemon's message queue (key 1234) for update requests (type
// 2), which it takes and leaves unanswered.
#include <errno.h>
#include <stdio.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

int main() {
    int q = msgget(1234, IPC_CREAT | 0666);
    if (q < 0) {
        perror("fw_update: msgget");
        return 1;
    }
    struct {
        long type;
        char text[368];
    } m;
    for (;;) {
        if (msgrcv(q, &m, sizeof m.text, 2, 0) < 0 && errno != EINTR) pause();
    }
}
