// hopperd-board-sh: runs one shell command on the emulated board through its
// command agent (a UART that scripts/board puts on a Unix socket), prints
// the command's output and exits with its status.
//   hopperd-board-sh SOCKET [--timeout S] COMMAND
// Exit status: the command's; 124 when it did not end in time (its output
// so far is printed), 125 when the agent cannot be reached.
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <string>

namespace {

int64_t now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int connect_to(const char* path) {
    struct sockaddr_un a;
    memset(&a, 0, sizeof a);
    a.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof a.sun_path) return -1;
    strcpy(a.sun_path, path);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    double timeout_s = 60;
    int i = 2;
    if (argc > 3 && strcmp(argv[2], "--timeout") == 0) {
        timeout_s = atof(argv[3]);
        i = 4;
    }
    if (argc != i + 1 || strchr(argv[i], '\n')) {
        fprintf(stderr, "usage: hopperd-board-sh SOCKET [--timeout S] COMMAND (one line)\n");
        return 2;
    }
    int64_t deadline = now_ms() + int64_t(timeout_s * 1000);
    int fd = connect_to(argv[1]);
    if (fd < 0) {
        perror("hopperd-board-sh: the board's agent");
        return 125;
    }
    // An id of our own: the end of an earlier command that gave up waiting
    // may still come, and is told apart by its id.
    char id[32];
    snprintf(id, sizeof id, "%ld-%lld", long(getpid()), (long long)now_ms());
    std::string req = std::string(id) + " " + argv[i] + "\n";
    if (send(fd, req.data(), req.size(), MSG_NOSIGNAL) != ssize_t(req.size())) {
        perror("hopperd-board-sh: send");
        return 125;
    }
    std::string out, end = std::string("\n@@") + id + " ";
    char buf[4096];
    for (;;) {
        int64_t left = deadline - now_ms();
        struct pollfd p = {fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, int(left)) <= 0) {
            fwrite(out.data(), 1, out.size(), stdout);
            fprintf(stderr, "hopperd-board-sh: no end of the command in %.0f s\n", timeout_s);
            return 124;
        }
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            fwrite(out.data(), 1, out.size(), stdout);
            fprintf(stderr, "hopperd-board-sh: the board went away\n");
            return 125;
        }
        out.append(buf, size_t(n));
        size_t at = out.find(end);
        if (at != std::string::npos) {
            size_t close_at = out.find("@@\n", at + end.size());
            if (close_at == std::string::npos) continue;
            int status = atoi(out.c_str() + at + end.size());
            fwrite(out.data(), 1, at, stdout);
            return status;
        }
        // An earlier command's end: what came before it was that command's.
        size_t other = out.rfind("@@\n");
        if (other != std::string::npos) out.erase(0, other + 3);
    }
}
