#include "common/secret_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace gorv {
namespace {

const char* refusal_of(const struct stat& status) {
    if (!S_ISREG(status.st_mode)) return "not a regular file";
    if (status.st_uid != 0 && status.st_uid != geteuid()) return "owned by another user";
    if ((status.st_mode & (S_IRWXG | S_IRWXO)) != 0) return "readable or writable by group or others";
    return nullptr;
}

// Reads the whole file (at most kSecretFileLimit bytes) into text.
const char* read_all(int fd, std::string& text) {
    std::array<char, kSecretFileLimit + 1> buffer{};
    std::size_t filled = 0;
    while (filled < buffer.size()) {
        const ssize_t got = read(fd, buffer.data() + filled, buffer.size() - filled);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::strerror(errno);
        if (got == 0) break;
        filled += static_cast<std::size_t>(got);
    }
    if (filled > kSecretFileLimit) return "longer than a secret may be";
    text.assign(buffer.data(), filled);
    return nullptr;
}

}  // namespace

SecretFile read_secret_file(const char* path) {
    SecretFile file;
    int fd = -1;
    do {
        fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        file.refusal = errno == ELOOP ? "a symbolic link" : std::strerror(errno);
        return file;
    }
    struct stat status {};
    if (fstat(fd, &status) != 0) {
        file.refusal = std::strerror(errno);
    } else {
        file.refusal = refusal_of(status);
    }
    std::string text;
    if (file.refusal == nullptr) file.refusal = read_all(fd, text);
    close(fd);
    if (file.refusal != nullptr) return file;

    const std::size_t newline = text.find('\n');
    if (newline != std::string::npos && newline + 1 != text.size()) {
        file.refusal = "more than one line";
        return file;
    }
    file.secret = text.substr(0, newline);
    if (file.secret.empty()) file.refusal = "empty";
    return file;
}

}  // namespace gorv
