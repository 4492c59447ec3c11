// The listening end of a service-mode link: one process, one listening
// socket on its own port, one link and at most one connection waiting for
// its greeting, served by poll(2).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/constants.h"
#include "common/daemon_life.h"
#include "common/service_link.h"

namespace gorv {
namespace {

constexpr int kMaxHostAddresses = 8;

PeerAddress address_of(const sockaddr_storage& peer, bool ipv6, std::span<char> text) {
    PeerAddress address;
    if (ipv6 && peer.ss_family == AF_INET6) {
        sockaddr_in6 in6{};
        std::memcpy(&in6, &peer, sizeof in6);
        std::memcpy(address.bytes.data(), &in6.sin6_addr, sizeof in6.sin6_addr);
        inet_ntop(AF_INET6, &in6.sin6_addr, text.data(), static_cast<socklen_t>(text.size()));
    } else if (!ipv6 && peer.ss_family == AF_INET) {
        sockaddr_in in4{};
        std::memcpy(&in4, &peer, sizeof in4);
        std::memcpy(address.bytes.data(), &in4.sin_addr, sizeof in4.sin_addr);
        inet_ntop(AF_INET, &in4.sin_addr, text.data(), static_cast<socklen_t>(text.size()));
    } else {
        std::snprintf(text.data(), text.size(), "of family %d", peer.ss_family);
    }
    return address;
}

bool same_address(const PeerAddress& a, const PeerAddress& b, bool ipv6) {
    return std::memcmp(a.bytes.data(), b.bytes.data(), ipv6 ? 16 : 4) == 0;
}

// The expected host's addresses, looked up again when an unknown address
// knocks, so that a host whose address changed is not locked out.
struct AllowedHost {
    const char* name;
    bool ipv6;
    std::array<PeerAddress, kMaxHostAddresses> addresses{};
    int count = 0;

    bool knows(const PeerAddress& peer) const {
        for (int i = 0; i < count; ++i)
            if (same_address(addresses[i], peer, ipv6)) return true;
        return false;
    }
    bool allows(const PeerAddress& peer) {
        if (knows(peer)) return true;
        count = look_up_all(ipv6, name, addresses);
        return knows(peer);
    }
};

// A link accepted whose greeting has not come in full yet.
struct PendingLink {
    int socket = -1;
    GreetingBytes greeting{};
    std::size_t got = 0;
    std::int64_t deadline = 0;
};

struct ReceiverState {
    int listening = -1;
    PendingLink pending;
    int link = -1;
    std::size_t received = 0;
    bool ever_up = false;
    RepeatFilter refusals;
};

void refuse(const ServiceReceiver& receiver, ReceiverState& state, const char* reason) {
    if (state.refusals.fresh(reason)) log_link_event(receiver.name, "refused", reason);
}

void link_down(const ServiceReceiver& receiver, ReceiverState& state, const char* reason) {
    close_link(state.link);
    state.received = 0;  // a partial message is dropped
    log_link_event(receiver.name, "down", reason);
    if (receiver.report != nullptr) receiver.report(receiver.context, false);
}

int listen_until_free(const ServiceReceiver& receiver, RepeatFilter& refusals) {
    for (;;) {
        const int listening = listen_at_own_port(receiver.link);
        if (listening >= 0) return listening;
        char reason[96];
        std::snprintf(reason, sizeof reason, "port %d: %s, trying again every second",
                      receiver.link.listen_base + receiver.link.id, std::strerror(errno));
        if (refusals.fresh(reason)) log_link_event(receiver.name, "cannot listen", reason);
        if (!family_intact()) end_family(kExitOk);
        sleep_ms(kRelinkPauseMs);
    }
}

void take_connection(const ServiceReceiver& receiver, ReceiverState& state, AllowedHost& allowed) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    const int accepted = accept4(state.listening, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    if (accepted < 0) {
        // Out of descriptors or memory: the connection stays queued, so
        // wait rather than spin on it. Other failures concern that peer only.
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) sleep_ms(kRelinkPauseMs);
        return;
    }
    char text[INET6_ADDRSTRLEN + 16];
    const PeerAddress address = address_of(peer, receiver.link.ipv6, text);
    if (!allowed.allows(address)) {
        char reason[160];
        std::snprintf(reason, sizeof reason, "%s is not an address of %s", text, receiver.peer_host);
        refuse(receiver, state, reason);
        close(accepted);
        return;
    }
    // One greeting is awaited at a time: a newer connection replaces one
    // that has not greeted yet, so a stray connection holds nothing up.
    close_link(state.pending.socket);
    if (!set_link_liveness(accepted)) std::perror("setsockopt");
    state.pending = PendingLink{accepted, {}, 0, now_ms() + kGreetingTimeoutMs};
}

void take_greeting(const ServiceReceiver& receiver, ReceiverState& state) {
    PendingLink& pending = state.pending;
    const ssize_t n = recv(pending.socket, pending.greeting.data() + pending.got, kGreetingSize - pending.got, 0);
    if (n < 0 && errno == EINTR) return;
    if (n <= 0) {
        close_link(pending.socket);
        refuse(receiver, state, n == 0 ? "closed before its greeting" : std::strerror(errno));
        return;
    }
    pending.got += static_cast<std::size_t>(n);
    if (pending.got < kGreetingSize) return;
    char reason[96];
    if (greeting_refused(decode_greeting(pending.greeting), receiver.expected, reason)) {
        close_link(pending.socket);
        refuse(receiver, state, reason);
        return;
    }
    if (!send_block(pending.socket, encode_greeting(receiver.own))) {
        close_link(pending.socket);
        refuse(receiver, state, "greeting could not be answered");
        return;
    }
    // The old link may be half-open after the peer's crash: the new one wins.
    if (state.link >= 0) link_down(receiver, state, "replaced by a new link");
    state.link = pending.socket;
    pending.socket = -1;
    state.received = 0;
    log_link_event(receiver.name, state.ever_up ? "relinked" : "up");
    state.ever_up = true;
    if (receiver.report != nullptr) receiver.report(receiver.context, true);
}

void take_message_bytes(const ServiceReceiver& receiver, ReceiverState& state) {
    const std::span<std::byte> message = receiver.message;
    const ssize_t n = recv(state.link, message.data() + state.received, message.size() - state.received, 0);
    if (n < 0 && errno == EINTR) return;
    if (n <= 0) {
        link_down(receiver, state, n == 0 ? "peer closed the link" : std::strerror(errno));
        return;
    }
    state.received += static_cast<std::size_t>(n);
    if (state.received < message.size()) return;
    state.received = 0;
    receiver.store(receiver.context);
}

}  // namespace

void run_service_receiver(const ServiceReceiver& receiver) {
    ReceiverState state;
    AllowedHost allowed{receiver.peer_host, receiver.link.ipv6};
    state.listening = listen_until_free(receiver, state.refusals);
    state.refusals.reset();
    for (;;) {
        if (!family_intact()) end_family(kExitOk);
        pollfd polled[3] = {{state.listening, POLLIN, 0}, {state.pending.socket, POLLIN, 0}, {state.link, POLLIN, 0}};
        int wait = kRelinkPauseMs;
        if (state.pending.socket >= 0)
            wait = static_cast<int>(std::max<std::int64_t>(0, state.pending.deadline - now_ms()));
        if (poll(polled, 3, wait) < 0) {
            if (errno == EINTR) continue;
            std::perror("poll");
            end_family(kExitFailure);
        }
        if (polled[2].revents != 0) take_message_bytes(receiver, state);
        if (polled[1].revents != 0) take_greeting(receiver, state);
        if (state.pending.socket >= 0 && now_ms() >= state.pending.deadline) {
            close_link(state.pending.socket);
            refuse(receiver, state, "no greeting within 5 s");
        }
        if (polled[0].revents != 0) take_connection(receiver, state, allowed);
    }
}

}  // namespace gorv
