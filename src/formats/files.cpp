// Opening the logger's own files, for the logger and its tools alike. Its
// group may read them but must never be able to point the logger elsewhere:
// a name that is a symbolic link, or anything but a regular file, is refused
// untouched.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "formats/formats.h"

int open_regular(const char* path, int flags, mode_t mode) {
    // Non-blocking, so that a FIFO in the file's place cannot hold the
    // loop up until it is refused; a regular file ignores the flag.
    int fd = open(path, flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, mode);
    if (fd < 0) {
        struct stat st;
        if (errno == ELOOP && lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) errno = ERR_SYMLINK;
        // A FIFO without a reader, or a device without its hardware.
        if (errno == ENXIO || errno == ENODEV) errno = ERR_NOT_REGULAR;
        return -1;
    }
    struct stat st;
    int err = fstat(fd, &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : ERR_NOT_REGULAR;
    // A second name may stand in a folder of someone else's, and give the
    // logger's writes (or a file it empties) to its owner: written only
    // through its one name. Reading another name of a file harms no one.
    if (err == 0 && (flags & O_ACCMODE) != O_RDONLY && st.st_nlink > 1) err = ERR_HARDLINK;
    if (err == 0) return fd;
    close(fd);
    errno = err;
    return -1;
}

const char* file_error(int err) {
    if (err == ERR_SYMLINK) return "a symbolic link";
    if (err == ERR_NOT_REGULAR) return "not a regular file";
    if (err == ERR_TORN_TAIL) return "torn tail not moved aside";
    if (err == ERR_HARDLINK) return "has other hard links";
    if (err == ERR_NOT_OWNED) return "not owned by the logger's user";
    return strerror(err);
}

int make_temporary(const char* path, char* tmp, size_t size) {
    const char* slash = strrchr(path, '/');
    int dir_len = slash ? static_cast<int>(slash - path + 1) : 0;
    int n = snprintf(tmp, size, "%.*s.%s.XXXXXX", dir_len, path, slash ? slash + 1 : path);
    if (n < 0 || static_cast<size_t>(n) >= size) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return mkostemp(tmp, O_CLOEXEC);
}

bool write_whole_file(const char* path, std::string_view text, mode_t mode) {
    char tmp[4096];
    int fd = make_temporary(path, tmp, sizeof tmp);
    if (fd < 0) return false;
    bool ok = fchmod(fd, mode) == 0 &&
              write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
    int err = errno;
    ok = close(fd) == 0 && ok;
    if (ok && rename(tmp, path) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        unlink(tmp);
        errno = err;
    }
    return ok;
}

int flock_holder(int fd) {
    struct stat st;
    FILE* f = fopen("/proc/locks", "re");
    if (!f || fstat(fd, &st) != 0) {
        if (f) fclose(f);
        return 0;
    }
    char line[256];
    int holder = 0;
    while (!holder && fgets(line, sizeof line, f)) {
        // "1: FLOCK  ADVISORY  WRITE 1234 fe:00:10952717 0 EOF"; waiters show "->".
        char kind[16];
        int pid;
        unsigned maj, min;
        unsigned long ino;
        if (sscanf(line, "%*d: %15s %*s %*s %d %x:%x:%lu", kind, &pid, &maj, &min, &ino) == 5 &&
            strcmp(kind, "FLOCK") == 0 && maj == major(st.st_dev) && min == minor(st.st_dev) &&
            ino == st.st_ino)
            holder = pid;
    }
    fclose(f);
    return holder;
}
