#include "common/service_link.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "common/constants.h"
#include "common/daemon_life.h"
#include "common/update_message.h"

namespace gorv {
namespace {

constexpr int kMaxHostAddresses = 8;

void put32(std::uint8_t* to, std::uint32_t value) {
    const std::uint32_t net = htonl(value);
    std::memcpy(to, &net, 4);
}

std::uint32_t get32(const std::uint8_t* from) {
    std::uint32_t net;
    std::memcpy(&net, from, 4);
    return ntohl(net);
}

void close_link(int& socket) {
    if (socket >= 0) close(socket);
    socket = -1;
}

// Sends all of a short block on a socket that has just been linked; false
// when it could not be taken at once.
bool send_block(int socket, std::span<const std::uint8_t> block) {
    ssize_t sent;
    do {
        sent = send(socket, block.data(), block.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(block.size());
}

// The peer's address as the look-ups give it, and as text for the lines.
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
    if (accepted < 0) return;  // the peer went before it was taken, or EINTR
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

// --- the connecting end ---

enum class RowState { kIdle, kConnecting, kGreeting, kUp };

struct SenderRow {
    RowState state = RowState::kIdle;
    int socket = -1;
    std::int64_t deadline = 0;  // next attempt (idle), or the end of the wait (connecting, greeting)
    bool wanted = false;        // the segment is to be sent, as it stands when it can be
    bool ever_up = false;
    std::vector<std::byte> out;  // the message being written
    std::size_t out_sent = 0;
    std::size_t out_length = 0;
    GreetingBytes answer{};
    std::size_t answer_got = 0;
    RepeatFilter failures;
};

struct SenderState {
    const ServiceSenderSetup* setup;
    std::vector<SenderRow> rows;
    std::vector<pollfd> polled;
    std::vector<int> row_of;  // the row of each polled descriptor, -1 for the extra one
};

// The client id of a row: its peer's port, greeting and dest_who.
int id_of(const ServiceSenderSetup& setup, int row) { return setup.first_id + row; }

LinkName name_of(const ServiceSenderSetup& setup, int row) { return {setup.who, id_of(setup, row), setup.direction}; }

// A row whose link failed (or could not be made) tries again in a second.
void row_failed(SenderState& sender, int row, const char* reason) {
    const ServiceSenderSetup& setup = *sender.setup;
    SenderRow& state = sender.rows[static_cast<std::size_t>(row)];
    const bool was_up = state.state == RowState::kUp;
    close_link(state.socket);
    state.state = RowState::kIdle;
    state.deadline = now_ms() + kRelinkPauseMs;
    state.out_sent = state.out_length = 0;
    if (was_up) {
        log_link_event(name_of(setup, row), "down", reason);
        state.failures.reset();
        if (setup.source.report != nullptr) setup.source.report(setup.source.context, row, false);
    } else if (state.failures.fresh(reason)) {
        log_link_event(name_of(setup, row), "not linked", reason);
    }
}

void start_attempt(SenderState& sender, int row) {
    const ServiceSenderSetup& setup = *sender.setup;
    SenderRow& state = sender.rows[static_cast<std::size_t>(row)];
    const char* host = setup.host_of(setup.source.context, row);
    PeerAddress address;
    if (look_up_all(setup.link.ipv6, host, std::span<PeerAddress>(&address, 1)) == 0) {
        char reason[320];
        std::snprintf(reason, sizeof reason, "%s could not be located by getaddrinfo", host);
        row_failed(sender, row, reason);
        return;
    }
    state.socket = socket(setup.link.ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (state.socket < 0 || bind_local_port(setup.link, state.socket) < 0) {
        row_failed(sender, row, std::strerror(errno));
        return;
    }
    if (!set_link_liveness(state.socket)) std::perror("setsockopt");
    sockaddr_storage peer{};
    socklen_t length = 0;
    const auto port = static_cast<std::uint16_t>(setup.link.connect_base + id_of(setup, row));
    connect_address(setup.link, port, address, peer, length);
    if (connect(state.socket, reinterpret_cast<sockaddr*>(&peer), length) != 0 && errno != EINPROGRESS) {
        row_failed(sender, row, std::strerror(errno));
        return;
    }
    state.state = RowState::kConnecting;
    state.deadline = now_ms() + kGreetingTimeoutMs;
}

void send_greeting(SenderState& sender, int row) {
    const ServiceSenderSetup& setup = *sender.setup;
    SenderRow& state = sender.rows[static_cast<std::size_t>(row)];
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(state.socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    if (error != 0) {
        row_failed(sender, row, std::strerror(error));
        return;
    }
    Greeting own = setup.own;
    own.client_id = id_of(setup, row);
    if (!send_block(state.socket, encode_greeting(own))) {
        row_failed(sender, row, "greeting could not be sent");
        return;
    }
    state.state = RowState::kGreeting;
    state.answer_got = 0;
    state.deadline = now_ms() + kGreetingTimeoutMs;
}

// Writes what the socket takes now: the message under way, then, when the
// row is wanted, its segment as it stands at this moment, so that an older
// contents never queues ahead of a newer one.
void serve_output(SenderState& sender, int row) {
    const ServiceSenderSetup& setup = *sender.setup;
    SenderRow& state = sender.rows[static_cast<std::size_t>(row)];
    for (;;) {
        if (state.out_sent == state.out_length) {
            if (!state.wanted) return;
            const std::span<const std::byte> segment = setup.source.segment(setup.source.context, row);
            encode_update(segment, id_of(setup, row), state.out);
            state.out_sent = 0;
            state.out_length = state.out.size();
            state.wanted = false;
        }
        const ssize_t sent = send(state.socket, state.out.data() + state.out_sent, state.out_length - state.out_sent,
                                  MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            row_failed(sender, row, std::strerror(errno));
            return;
        }
        state.out_sent += static_cast<std::size_t>(sent);
        if (state.out_sent < state.out_length) return;
    }
}

void take_answer(SenderState& sender, int row) {
    const ServiceSenderSetup& setup = *sender.setup;
    SenderRow& state = sender.rows[static_cast<std::size_t>(row)];
    const ssize_t n = recv(state.socket, state.answer.data() + state.answer_got, kGreetingSize - state.answer_got, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n <= 0) {
        row_failed(sender, row, n == 0 ? "peer closed the link before its greeting" : std::strerror(errno));
        return;
    }
    state.answer_got += static_cast<std::size_t>(n);
    if (state.answer_got < kGreetingSize) return;
    Greeting expected = setup.expected;
    expected.client_id = id_of(setup, row);
    char reason[96];
    if (greeting_refused(decode_greeting(state.answer), expected, reason)) {
        row_failed(sender, row, reason);
        return;
    }
    state.state = RowState::kUp;
    state.wanted = true;  // the whole segment first on every new link
    state.failures.reset();
    log_link_event(name_of(setup, row), state.ever_up ? "relinked" : "up");
    state.ever_up = true;
    if (setup.source.report != nullptr) setup.source.report(setup.source.context, row, true);
    serve_output(sender, row);
}

// The peer of a linked row sends nothing: anything readable is its end.
void watch_linked(SenderState& sender, int row) {
    SenderRow& state = sender.rows[static_cast<std::size_t>(row)];
    std::uint8_t byte;
    const ssize_t n = recv(state.socket, &byte, 1, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    row_failed(sender, row, n == 0 ? "peer closed the link" : n > 0 ? "peer sent bytes" : std::strerror(errno));
}

void sync_pass(SenderState& sender) {
    const ServiceSenderSetup& setup = *sender.setup;
    for (int row = 0; row < setup.rows; ++row) {
        SenderRow& state = sender.rows[static_cast<std::size_t>(row)];
        if (setup.source.changed(setup.source.context, row)) state.wanted = true;
        if (state.state == RowState::kUp) serve_output(sender, row);
    }
}

void serve_deadlines(SenderState& sender, std::int64_t now) {
    for (int row = 0; row < sender.setup->rows; ++row) {
        SenderRow& state = sender.rows[static_cast<std::size_t>(row)];
        if (state.deadline > now) continue;
        if (state.state == RowState::kIdle) start_attempt(sender, row);
        else if (state.state == RowState::kConnecting) row_failed(sender, row, "no connection within 5 s");
        else if (state.state == RowState::kGreeting) row_failed(sender, row, "no greeting within 5 s");
    }
}

int build_poll_set(SenderState& sender, std::int64_t now, std::int64_t next_pass) {
    const ServiceSenderSetup& setup = *sender.setup;
    sender.polled.clear();
    sender.row_of.clear();
    std::int64_t wake = next_pass;
    if (setup.source.extra_fd >= 0) {
        sender.polled.push_back({setup.source.extra_fd, POLLIN, 0});
        sender.row_of.push_back(-1);
    }
    for (int row = 0; row < setup.rows; ++row) {
        const SenderRow& state = sender.rows[static_cast<std::size_t>(row)];
        short events = 0;
        switch (state.state) {
            case RowState::kIdle: break;
            case RowState::kConnecting: events = POLLOUT; break;
            case RowState::kGreeting: events = POLLIN; break;
            case RowState::kUp: events = state.out_sent < state.out_length ? POLLIN | POLLOUT : POLLIN; break;
        }
        if (state.state != RowState::kUp) wake = std::min(wake, state.deadline);
        if (events == 0) continue;
        sender.polled.push_back({state.socket, events, 0});
        sender.row_of.push_back(row);
    }
    return static_cast<int>(std::max<std::int64_t>(0, wake - now));
}

void serve_ready(SenderState& sender) {
    const ServiceSenderSetup& setup = *sender.setup;
    for (std::size_t i = 0; i < sender.polled.size(); ++i) {
        const short ready = sender.polled[i].revents;
        if (ready == 0) continue;
        const int row = sender.row_of[i];
        if (row < 0) {
            setup.source.on_extra(setup.source.context);
            continue;
        }
        const SenderRow& state = sender.rows[static_cast<std::size_t>(row)];
        if (state.socket != sender.polled[i].fd) continue;  // the row's link changed in this round
        switch (state.state) {
            case RowState::kIdle: break;
            case RowState::kConnecting: send_greeting(sender, row); break;
            case RowState::kGreeting: take_answer(sender, row); break;
            case RowState::kUp:
                if ((ready & (POLLIN | POLLERR | POLLHUP)) != 0) watch_linked(sender, row);
                else serve_output(sender, row);
                break;
        }
    }
}

}  // namespace

GreetingBytes encode_greeting(const Greeting& greeting) {
    GreetingBytes bytes{};
    put32(&bytes[0], greeting.magic);
    bytes[4] = static_cast<std::uint8_t>(greeting.version >> 8);
    bytes[5] = static_cast<std::uint8_t>(greeting.version & 0xff);
    bytes[6] = greeting.role;
    put32(&bytes[8], static_cast<std::uint32_t>(greeting.client_id));
    put32(&bytes[12], static_cast<std::uint32_t>(greeting.seg_size));
    return bytes;
}

Greeting decode_greeting(const GreetingBytes& bytes) {
    Greeting greeting;
    greeting.magic = get32(&bytes[0]);
    greeting.version = static_cast<std::uint16_t>((bytes[4] << 8) | bytes[5]);
    greeting.role = bytes[6];
    greeting.client_id = static_cast<std::int32_t>(get32(&bytes[8]));
    greeting.seg_size = static_cast<std::int32_t>(get32(&bytes[12]));
    return greeting;
}

bool greeting_refused(const Greeting& got, const Greeting& expected, std::span<char> reason) {
    if (got.magic != expected.magic)
        std::snprintf(reason.data(), reason.size(), "not a greeting");
    else if (got.version != expected.version)
        std::snprintf(reason.data(), reason.size(), "greeting version %u, not %u", got.version, expected.version);
    else if (got.role != expected.role)
        std::snprintf(reason.data(), reason.size(), "a peer of role %u, not %u", got.role, expected.role);
    else if (got.client_id != expected.client_id)
        std::snprintf(reason.data(), reason.size(), "client id %d, not %d", got.client_id, expected.client_id);
    else if (got.seg_size != expected.seg_size)
        std::snprintf(reason.data(), reason.size(), "Seg_size %d, not %d", got.seg_size, expected.seg_size);
    else
        return false;
    return true;
}

bool RepeatFilter::fresh(const char* reason) {
    const std::size_t length = std::min(std::strlen(reason), last.size() - 1);
    if (std::strncmp(last.data(), reason, length) == 0 && last[length] == '\0') return false;
    std::memcpy(last.data(), reason, length);
    last[length] = '\0';
    return true;
}

void log_link_event(const LinkName& name, const char* event, const char* reason) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    char stamp[32] = "";
    if (localtime_r(&now, &local) != nullptr) std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    if (reason != nullptr)
        std::printf("%s %s %d %s: %s (%s)\n", stamp, name.who, name.id, name.direction, event, reason);
    else
        std::printf("%s %s %d %s: %s\n", stamp, name.who, name.id, name.direction, event);
    std::fflush(stdout);
}

bool set_link_liveness(int socket) {
    const int on = 1;
    const int idle = kKeepaliveIdleSeconds;
    const int interval = kKeepaliveIntervalSeconds;
    const int probes = kKeepaliveProbes;
    const unsigned user_timeout = kUserTimeoutMs;
    return setsockopt(socket, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0 &&
           setsockopt(socket, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) == 0 &&
           setsockopt(socket, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) == 0 &&
           setsockopt(socket, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes) == 0 &&
           setsockopt(socket, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_timeout, sizeof user_timeout) == 0;
}

std::int64_t now_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

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

void run_service_sender(const ServiceSenderSetup& setup) {
    SenderState sender{&setup, {}, {}, {}};
    const std::size_t message_length = setup.source.segment(setup.source.context, 0).size() + kDestWhoSize;
    try {
        sender.rows.resize(static_cast<std::size_t>(setup.rows));
        for (SenderRow& row : sender.rows) row.out.resize(message_length);
        sender.polled.reserve(static_cast<std::size_t>(setup.rows) + 1);
        sender.row_of.reserve(static_cast<std::size_t>(setup.rows) + 1);
    } catch (const std::bad_alloc&) {
        std::printf("%s: cannot allocate the messages of %d rows\n", setup.who, setup.rows);
        end_family(kExitFailure);
    }
    std::int64_t next_pass = now_ms();
    for (;;) {
        if (!family_intact()) end_family(kExitOk);
        std::int64_t now = now_ms();
        if (now >= next_pass) {
            sync_pass(sender);
            next_pass = now + 1000;
        }
        serve_deadlines(sender, now);
        const int wait = build_poll_set(sender, now_ms(), next_pass);
        std::fflush(stdout);
        if (poll(sender.polled.data(), sender.polled.size(), wait) < 0) {
            if (errno == EINTR) continue;
            std::perror("poll");
            end_family(kExitFailure);
        }
        serve_ready(sender);
    }
}

}  // namespace gorv
