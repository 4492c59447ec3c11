#include "common/daemon_lock.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/constants.h"
#include "common/peer_link.h"

namespace gorv {
namespace {

struct LockAddress {
    sockaddr_un address{};
    socklen_t length = 0;
};

// The name after a zero byte: an abstract name, no file behind it.
LockAddress address_of(const char* name) {
    LockAddress lock;
    lock.address.sun_family = AF_UNIX;
    const std::size_t length = std::min(std::strlen(name), sizeof lock.address.sun_path - 1);
    std::memcpy(lock.address.sun_path + 1, name, length);
    lock.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
    return lock;
}

int unix_socket() { return socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0); }

// Who listens at the name, as "pid <pid>"; empty when nobody does.
struct Holder {
    char text[32] = "";
};

Holder holder_of(const char* name) {
    Holder holder;
    const int probe = unix_socket();
    if (probe < 0) return holder;
    const LockAddress lock = address_of(name);
    int linked;
    do {
        linked = connect(probe, reinterpret_cast<const sockaddr*>(&lock.address), lock.length);
    } while (linked != 0 && errno == EINTR);
    ucred peer{};
    socklen_t length = sizeof peer;
    // A full queue (EAGAIN) is a holder all the same, one that cannot say who it is.
    if (linked == 0 && getsockopt(probe, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 && peer.pid > 0)
        std::snprintf(holder.text, sizeof holder.text, "pid %ld", static_cast<long>(peer.pid));
    else if (linked == 0 || errno == EAGAIN)
        std::snprintf(holder.text, sizeof holder.text, "pid unknown");
    close(probe);
    return holder;
}

// The lock's socket, or -1 with errno set (EADDRINUSE: another holds it).
// The descriptor is never closed: forks share it, and it goes with them.
int take(const char* name) {
    const int held = unix_socket();
    if (held < 0) return -1;
    const LockAddress lock = address_of(name);
    if (bind(held, reinterpret_cast<const sockaddr*>(&lock.address), lock.length) == 0 &&
        listen(held, SOMAXCONN) == 0)
        return held;
    const int error = errno;
    close(held);
    errno = error;
    return -1;
}

}  // namespace

void hold_daemon_lock_or_exit(const char* who, const char* role, const char* name) {
    for (int waited = 0; take(name) < 0; waited += kLockPollMs) {
        if (errno != EADDRINUSE) {
            std::printf("%s: lock @%s cannot be taken (%s); not started\n", who, name, std::strerror(errno));
            std::exit(kExitFailure);
        }
        if (waited >= kLockWaitMs) {
            std::printf("%s: a service-mode %s (%s) holds @%s; not started\n", who, role, holder_of(name).text, name);
            std::exit(kExitFailure);
        }
        sleep_ms(kLockPollMs);
    }
}

bool warn_of_daemon_lock(const char* who, const char* role, const char* name) {
    const Holder holder = holder_of(name);
    if (holder.text[0] == '\0') return false;
    std::fflush(stdout);
    std::fprintf(stderr, "%s: a service-mode %s (%s) holds @%s; going on\n", who, role, holder.text, name);
    return true;
}

}  // namespace gorv
