#include "platform/atomic_file.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "include/owned.h"

namespace {

std::string folder_of(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

// The file a chain of links ends at, existing or not. Boards with a read-only
// root link their settings into a data partition: the new file goes beside
// the last link's target, so the links stay and the rename stays in one
// folder. False (errno set) for a link loop or an unreadable link.
bool final_target(const char* path, std::string* out) {
    std::string p = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (lstat(p.c_str(), &st) < 0 || !S_ISLNK(st.st_mode)) {
            *out = p;
            return true;
        }
        char link[PATH_MAX];
        ssize_t n = readlink(p.c_str(), link, sizeof link - 1);
        if (n < 0) return false;
        link[n] = '\0';
        p = link[0] == '/' ? std::string(link) : folder_of(p) + "/" + link;
    }
    errno = ELOOP;
    return false;
}

// Renames a flushed file over `to`, then flushes the folder: the rename
// itself lives there, and a power cut right after may bring back the old
// name otherwise. `from` is removed when the rename fails.
int rename_durably(const char* from, const char* to) {
    if (rename(from, to) < 0) {
        perror("rename");
        unlink(from);
        return -1;
    }
    int dfd = open(folder_of(to).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    return 0;
}

}  // namespace

int write_file_atomic(const char* path, const char* data, size_t len) {
    std::string target;
    if (!final_target(path, &target)) {
        perror("readlink");
        return -1;
    }
    std::string tmp = target + ".tmp";
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
    int synced = fsync(fd);
    if (synced < 0) perror("fsync");
    if (close(fd) < 0 && synced == 0) {
        perror("close");
        synced = -1;
    }
    if (synced < 0) {
        unlink(tmp.c_str());
        return -1;
    }
    return rename_durably(tmp.c_str(), target.c_str());
}

int replace_file_atomic(const char* tmp, const char* path) {
    int fd = open(tmp, O_RDONLY | O_CLOEXEC);
    if (fd < 0 || fsync(fd) < 0) {
        perror("fsync");
        if (fd >= 0) close(fd);
        unlink(tmp);
        return -1;
    }
    close(fd);
    return rename_durably(tmp, path);
}

int write_json_atomic(const char* path, const json_t* value) {
    if (!value) return -1;
    CharPtr text(json_dumps(value, 0));
    if (!text) return -1;
    return write_file_atomic(path, text.get(), strlen(text.get()));
}
