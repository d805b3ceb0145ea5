// simctl: one request to the control socket of hopperd-sim, reply on stdout.
//   simctl SOCKET '{"op":"state"}'
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: simctl SOCKET JSON\n");
        return 2;
    }
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (strlen(argv[1]) >= sizeof addr.sun_path) {
        fprintf(stderr, "simctl: socket path too long\n");
        return 2;
    }
    strncpy(addr.sun_path, argv[1], sizeof addr.sun_path - 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
        perror("simctl: connect");
        return 1;
    }
    std::string req = std::string(argv[2]) + "\n";
    if (write(fd, req.data(), req.size()) != ssize_t(req.size())) {
        perror("simctl: write");
        return 1;
    }
    std::string reply;
    char c;
    while (read(fd, &c, 1) == 1 && c != '\n') reply += c;
    close(fd);
    puts(reply.c_str());
    return reply.find("\"ok\":true") != std::string::npos ? 0 : 1;
}
