#include "common/replace_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>

namespace gorv {
namespace {

bool write_all(int fd, std::string_view contents) {
    while (!contents.empty()) {
        const ssize_t written = write(fd, contents.data(), contents.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        contents.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

// A name beside `path` that others cannot guess: the path and random bits,
// falling back to the process id and the attempt where none can be had.
// O_EXCL turns a name somebody planted anyway into another attempt.
std::string temporary_name(const char* path, unsigned attempt) {
    std::uint64_t bits = 0;
    if (getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits))
        bits = (static_cast<std::uint64_t>(getpid()) << 32) | attempt;
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".%016llx", static_cast<unsigned long long>(bits));
    return std::string(path) + suffix;
}

int create_exclusive(const char* path, std::string& name) {
    constexpr unsigned kAttempts = 16;
    for (unsigned attempt = 0; attempt < kAttempts; ++attempt) {
        name = temporary_name(path, attempt);
        const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || (errno != EEXIST && errno != EINTR)) return fd;
    }
    errno = EEXIST;
    return -1;
}

}  // namespace

bool replace_file(const char* path, std::string_view contents) {
    std::string name;
    const int fd = create_exclusive(path, name);
    if (fd < 0) return false;
    bool done = fchmod(fd, 0644) == 0 && write_all(fd, contents);
    int saved_errno = errno;
    // close can report a delayed write error; after EINTR the descriptor is
    // closed all the same.
    if (close(fd) != 0 && errno != EINTR && done) {
        done = false;
        saved_errno = errno;
    }
    if (done && rename(name.c_str(), path) == 0) return true;
    if (done) saved_errno = errno;
    unlink(name.c_str());
    errno = saved_errno;
    return false;
}

}  // namespace gorv
