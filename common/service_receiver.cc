// The listening end of a service-mode link: one process, one listening
// socket on its own port, one link and a few connections waiting for their
// greetings, served by poll(2); it sleeps until one of them or a signal
// that ends the family wakes it.
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
#include "common/host_lookup.h"
#include "common/service_link.h"

namespace gorv {
namespace {

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

// A connection accepted whose greeting (and, on a keyed link, proof) has
// not come in full yet. bytes holds the peer's hello, then its proof.
struct PendingLink {
    int socket = -1;
    bool allowed = false;          // its address is one of the expected host's
    std::uint32_t looked_up = 0;   // otherwise: look-ups of the host finished when it came
    PeerAddress address{};
    std::array<char, INET6_ADDRSTRLEN + 16> address_text{};
    std::array<std::uint8_t, kKeyedHelloSize + kProofSize> bytes{};
    std::size_t got = 0;
    bool answered = false;  // keyed: our greeting, nonce and proof are sent
    Transcript transcript{};
    std::int64_t deadline = 0;
};

struct ReceiverState {
    int listening = -1;
    std::array<PendingLink, kMaxPendingLinks> pending;
    int link = -1;
    LinkSession session;         // keyed: the link's
    std::size_t received = 0;    // of the message, then of its tag
    Tag tag{};
    bool ever_up = false;
    RepeatFilter refusals;
};

void refuse(const ServiceReceiver& receiver, ReceiverState& state, const char* reason) {
    if (state.refusals.fresh(reason)) log_link_event(receiver.name, "refused", reason);
}

void refuse_pending(const ServiceReceiver& receiver, ReceiverState& state, PendingLink& pending, const char* reason) {
    close_link(pending.socket);
    refuse(receiver, state, reason);
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
        if (!family_intact()) end_family(family_end_status());
        family_wait(nullptr, 0, kRelinkPauseMs);
    }
}

// A keyed hello in full: answer with our greeting, a fresh nonce and our proof.
bool answer_keyed(const ServiceReceiver& receiver, PendingLink& pending) {
    std::array<std::uint8_t, kKeyedAnswerSize> answer{};
    const GreetingBytes own = encode_greeting(receiver.own);
    std::copy(own.begin(), own.end(), answer.begin());
    Nonce nonce;
    fresh_nonce(nonce);
    std::copy(nonce.begin(), nonce.end(), answer.begin() + kGreetingSize);
    pending.transcript = transcript_of(std::span(pending.bytes).first<kKeyedHelloSize>(),
                                       std::span(answer).first<kKeyedHelloSize>());
    const Proof proof = proof_of(*receiver.key, LinkEnd::kListening, pending.transcript);
    std::copy(proof.begin(), proof.end(), answer.begin() + kKeyedHelloSize);
    pending.answered = true;
    return send_block(pending.socket, answer);
}

// How many bytes of the peer's hello and proof a pending link waits for.
std::size_t awaited(const ServiceReceiver& receiver, const PendingLink& pending) {
    if (receiver.key == nullptr) return kGreetingSize;
    return pending.answered ? kKeyedHelloSize + kProofSize : kKeyedHelloSize;
}

void link_up(const ServiceReceiver& receiver, ReceiverState& state, PendingLink& pending) {
    // The old link may be half-open after the peer's crash: the new one wins.
    if (state.link >= 0) link_down(receiver, state, "replaced by a new link");
    if (receiver.key != nullptr) state.session = start_session(*receiver.key, pending.transcript);
    state.link = pending.socket;
    pending.socket = -1;
    state.received = 0;
    log_link_event(receiver.name, state.ever_up ? "relinked" : "up");
    state.ever_up = true;
    if (receiver.report != nullptr) receiver.report(receiver.context, true);
}

void take_greeting(const ServiceReceiver& receiver, ReceiverState& state, PendingLink& pending) {
    const std::size_t want = awaited(receiver, pending);
    const ssize_t n = recv(pending.socket, pending.bytes.data() + pending.got, want - pending.got, 0);
    if (n < 0 && errno == EINTR) return;
    if (n <= 0) {
        refuse_pending(receiver, state, pending,
                       n < 0                      ? std::strerror(errno)
                       : pending.got < kGreetingSize ? "closed before its greeting"
                                                     : "closed before its proof");
        return;
    }
    const std::size_t before = pending.got;
    pending.got += static_cast<std::size_t>(n);
    char reason[96];
    if (before < kGreetingSize && pending.got >= kGreetingSize &&
        hello_refused(decode_greeting(std::span(pending.bytes).first<kGreetingSize>()), receiver.expected, reason)) {
        refuse_pending(receiver, state, pending, reason);
        return;
    }
    if (pending.got < want) return;
    if (receiver.key == nullptr) {
        if (!send_block(pending.socket, encode_greeting(receiver.own))) {
            refuse_pending(receiver, state, pending, "greeting could not be answered");
            return;
        }
    } else if (!pending.answered) {
        if (!answer_keyed(receiver, pending))
            refuse_pending(receiver, state, pending, "greeting could not be answered");
        return;
    } else {
        Proof proof{};
        std::copy(pending.bytes.begin() + kKeyedHelloSize, pending.bytes.end(), proof.begin());
        if (!proof_matches(*receiver.key, LinkEnd::kConnecting, pending.transcript, proof)) {
            refuse_pending(receiver, state, pending, "proof does not match: another key, or a link played again");
            return;
        }
    }
    link_up(receiver, state, pending);
}

std::array<char, 160> not_allowed(const ServiceReceiver& receiver, const PendingLink& pending) {
    std::array<char, 160> reason{};
    std::snprintf(reason.data(), reason.size(), "%s is not an address of %s", pending.address_text.data(),
                  receiver.peer_host);
    return reason;
}

// A free place for a new connection. When every place waits, a greeting
// that has come is taken first; failing that the oldest connection is
// dropped, so that strays cannot keep a real peer out.
PendingLink& free_place(const ServiceReceiver& receiver, ReceiverState& state) {
    std::array<pollfd, kMaxPendingLinks> waiting{};
    for (std::size_t i = 0; i < kMaxPendingLinks; ++i) {
        const PendingLink& pending = state.pending[i];
        if (pending.socket < 0) return state.pending[i];
        waiting[i] = {pending.allowed ? pending.socket : -1, POLLIN, 0};
    }
    if (poll(waiting.data(), waiting.size(), 0) > 0) {
        for (std::size_t i = 0; i < kMaxPendingLinks; ++i)
            if (waiting[i].revents != 0) take_greeting(receiver, state, state.pending[i]);
    }
    PendingLink* oldest = &state.pending[0];
    for (PendingLink& pending : state.pending) {
        if (pending.socket < 0) return pending;
        if (pending.deadline < oldest->deadline) oldest = &pending;
    }
    const std::array<char, 160> unknown = not_allowed(receiver, *oldest);
    refuse_pending(receiver, state, *oldest, oldest->allowed ? "dropped for a newer connection" : unknown.data());
    return *oldest;
}

// Whether the pending link's address is the expected host's, by the look-up
// process's table: refused only once a look-up after it came has finished
// (or its time is up), so that a host whose address changed gets in.
void check_address(const ServiceReceiver& receiver, ReceiverState& state, PendingLink& pending, std::int64_t now) {
    std::array<PeerAddress, kMaxHostAddresses> addresses{};
    const KnownHost known = known_addresses(*receiver.lookups, receiver.name_index, addresses);
    for (int i = 0; i < known.count; ++i) {
        if (same_address(addresses[static_cast<std::size_t>(i)], pending.address, receiver.link.ipv6)) {
            pending.allowed = true;
            return;
        }
    }
    if (known.done == pending.looked_up && now < pending.deadline) return;
    refuse_pending(receiver, state, pending, not_allowed(receiver, pending).data());
}

void take_connection(const ServiceReceiver& receiver, ReceiverState& state) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    const int accepted = accept4(state.listening, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    if (accepted < 0) {
        // Out of descriptors or memory: the connection stays queued, so
        // wait rather than spin on it. Other failures concern that peer only.
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) sleep_ms(kRelinkPauseMs);
        return;
    }
    if (!set_link_liveness(accepted)) std::perror("setsockopt");
    PendingLink& pending = free_place(receiver, state);
    pending = PendingLink{.socket = accepted, .deadline = now_ms() + kGreetingTimeoutMs};
    pending.address = address_of(peer, receiver.link.ipv6, pending.address_text);
    std::array<PeerAddress, 1> unused{};
    pending.looked_up = known_addresses(*receiver.lookups, receiver.name_index, unused).done;
    check_address(receiver, state, pending, now_ms());
    if (pending.socket >= 0 && !pending.allowed) ask_look_up(*receiver.lookups, receiver.name_index);
}

// A keyed link's message is stored only when its tag is the next one's:
// an altered, replayed or reordered message ends the link.
void take_message_bytes(const ServiceReceiver& receiver, ReceiverState& state) {
    const std::span<std::byte> message = receiver.message;
    const std::size_t tag_size = receiver.key != nullptr ? kTagSize : 0;
    std::uint8_t* into = state.received < message.size()
                             ? reinterpret_cast<std::uint8_t*>(message.data()) + state.received
                             : state.tag.data() + (state.received - message.size());
    const std::size_t room = state.received < message.size() ? message.size() - state.received
                                                             : message.size() + tag_size - state.received;
    const ssize_t n = recv(state.link, into, room, 0);
    if (n < 0 && errno == EINTR) return;
    if (n <= 0) {
        link_down(receiver, state, n == 0 ? "peer closed the link" : std::strerror(errno));
        return;
    }
    state.received += static_cast<std::size_t>(n);
    if (state.received < message.size() + tag_size) return;
    state.received = 0;
    if (receiver.key != nullptr && !tag_matches_next(state.session, message, state.tag)) {
        char reason[96];
        std::snprintf(reason, sizeof reason, "update %llu: tag does not match (altered, replayed or out of order)",
                      static_cast<unsigned long long>(state.session.next - 1));
        link_down(receiver, state, reason);
        return;
    }
    receiver.store(receiver.context);
}

}  // namespace

void run_service_receiver(const ServiceReceiver& given) {
    ServiceReceiver receiver = given;
    receiver.own = with_key_version(given.own, given.key);
    receiver.expected = with_key_version(given.expected, given.key);
    ReceiverState state;
    state.listening = listen_until_free(receiver, state.refusals);
    state.refusals.reset();
    constexpr std::size_t kFirstPending = 2;
    std::array<pollfd, kFirstPending + kMaxPendingLinks> polled{};
    for (;;) {
        if (!family_intact()) end_family(family_end_status());
        polled[0] = {state.listening, POLLIN, 0};
        polled[1] = {state.link, POLLIN, 0};
        std::int64_t wake = -1;
        const std::int64_t before = now_ms();
        for (std::size_t i = 0; i < kMaxPendingLinks; ++i) {
            const PendingLink& pending = state.pending[i];
            // Nothing is read from a peer before its address is allowed.
            polled[kFirstPending + i] = {pending.allowed ? pending.socket : -1, POLLIN, 0};
            if (pending.socket < 0) continue;
            const std::int64_t due =
                pending.allowed ? pending.deadline : std::min(pending.deadline, before + kLookupWaitMs);
            if (wake < 0 || due < wake) wake = due;
        }
        const int wait = wake < 0 ? -1 : static_cast<int>(std::max<std::int64_t>(0, wake - before));
        if (family_wait(polled.data(), polled.size(), wait) < 0) {
            std::perror("poll");
            end_family(kExitFailure);
        }
        if (polled[1].revents != 0) take_message_bytes(receiver, state);
        const std::int64_t now = now_ms();
        for (std::size_t i = 0; i < kMaxPendingLinks; ++i) {
            PendingLink& pending = state.pending[i];
            if (pending.socket >= 0 && !pending.allowed) check_address(receiver, state, pending, now);
            else if (polled[kFirstPending + i].revents != 0 && pending.socket == polled[kFirstPending + i].fd)
                take_greeting(receiver, state, pending);
            if (pending.socket >= 0 && now >= pending.deadline)
                refuse_pending(receiver, state, pending, "no greeting within 5 s");
        }
        if (polled[0].revents != 0) take_connection(receiver, state);
    }
}

}  // namespace gorv
