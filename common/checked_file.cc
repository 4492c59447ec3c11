#include "common/checked_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace gorv {
namespace {

int open_nonblocking(const char* path, int extra_flags) {
    for (;;) {
        const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | extra_flags);
        if (fd >= 0 || errno != EINTR) return fd;
    }
}

const char* refusal_of(const struct stat& status, bool trusted_only) {
    if (!S_ISREG(status.st_mode)) return "not a regular file";
    if (!trusted_only) return nullptr;
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) return "writable by group or others";
    if (status.st_uid != 0 && status.st_uid != geteuid()) return "owned by another user";
    return nullptr;
}

void close_keeping_errno(int fd) {
    const int saved_errno = errno;
    close(fd);
    errno = saved_errno;
}

CheckedFile open_checked(const char* path, bool trusted_only) {
    CheckedFile checked;
    const int fd = open_nonblocking(path, trusted_only ? O_NOFOLLOW : 0);
    if (fd < 0) {
        if (trusted_only && errno == ELOOP) checked.refusal = "a symbolic link";
        return checked;
    }
    struct stat status {};
    if (fstat(fd, &status) != 0) {
        close_keeping_errno(fd);
        return checked;
    }
    checked.refusal = refusal_of(status, trusted_only);
    // Reads from here on may wait as they always have.
    const int flags = fcntl(fd, F_GETFL);
    if (checked.refusal == nullptr && flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0)
        checked.stream = fdopen(fd, "r");
    if (checked.stream == nullptr) close_keeping_errno(fd);
    return checked;
}

}  // namespace

CheckedFile open_regular_file(const char* path) { return open_checked(path, false); }
CheckedFile open_trusted_file(const char* path) { return open_checked(path, true); }

}  // namespace gorv
