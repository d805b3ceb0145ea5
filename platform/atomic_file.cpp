#include "platform/atomic_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <string>

int write_file_atomic(const char* path, const char* data, size_t len) {
    std::string tmp = std::string(path) + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        perror("open");
        return -1;
    }
    size_t done = 0;
    while (done < len) {
        ssize_t w = write(fd, data + done, len - done);
        if (w < 0) {
            perror("write");
            close(fd);
            unlink(tmp.c_str());
            return -1;
        }
        done += size_t(w);
    }
    if (fsync(fd) < 0 || close(fd) < 0) {
        perror("fsync");
        unlink(tmp.c_str());
        return -1;
    }
    if (rename(tmp.c_str(), path) < 0) {
        perror("rename");
        unlink(tmp.c_str());
        return -1;
    }
    // The rename itself lives in the folder: flush it too, or a power cut
    // right after may bring back the old name.
    std::string dir = path;
    size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : dir.substr(0, slash));
    int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    return 0;
}
