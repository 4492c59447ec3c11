// The connecting end of service-mode links: every row of one daemon in one
// process over non-blocking sockets and poll(2), a pass once a second.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "common/constants.h"
#include "common/daemon_life.h"
#include "common/service_link.h"
#include "common/update_message.h"

namespace gorv {
namespace {

enum class RowState { kIdle, kConnecting, kGreeting, kUp };

struct SenderRow {
    RowState state = RowState::kIdle;
    int socket = -1;
    std::int64_t deadline = 0;  // next attempt (idle), or the end of the wait (connecting, greeting)
    bool wanted = false;        // the segment is to be sent, as it stands when it can be
    bool ever_up = false;
    std::vector<std::byte> out;  // the message being written, and its tag on a keyed link
    std::size_t out_sent = 0;
    std::size_t out_length = 0;
    std::array<std::uint8_t, kKeyedHelloSize> hello{};  // keyed: our greeting and nonce
    std::array<std::uint8_t, kKeyedAnswerSize> answer{};
    std::size_t answer_got = 0;
    LinkSession session;  // keyed: the link's
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
    // Every attempt asks for the host again; the look-up process keeps the
    // last addresses that worked and looks up at most once a second.
    ask_look_up(*setup.lookups, row);
    PeerAddress address;
    const KnownHost known = known_addresses(*setup.lookups, row, std::span(&address, 1));
    if (known.count == 0) {
        if (known.done == 0) {  // the first look-up has not finished yet
            state.deadline = now_ms() + kLookupWaitMs;
            return;
        }
        char reason[320];
        std::snprintf(reason, sizeof reason, "%s could not be located by getaddrinfo",
                      setup.host_of(setup.source.context, row));
        row_failed(sender, row, reason);
        return;
    }
    // No bind: connect takes a local port of the kernel's ephemeral range,
    // never one that a socket has bound, so no attempt takes a listening port.
    state.socket = socket(setup.link.ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (state.socket < 0) {
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

// A connection to a port of this host that nobody listens on may meet
// itself when the kernel picked that same port as the local one.
bool linked_to_itself(int socket) {
    sockaddr_storage local{};
    sockaddr_storage peer{};
    socklen_t local_length = sizeof local;
    socklen_t peer_length = sizeof peer;
    return getsockname(socket, reinterpret_cast<sockaddr*>(&local), &local_length) == 0 &&
           getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &peer_length) == 0 &&
           local_length == peer_length && std::memcmp(&local, &peer, local_length) == 0;
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
    if (linked_to_itself(state.socket)) {
        row_failed(sender, row, "linked to itself");
        return;
    }
    Greeting own = setup.own;
    own.client_id = id_of(setup, row);
    const GreetingBytes greeting = encode_greeting(own);
    std::copy(greeting.begin(), greeting.end(), state.hello.begin());
    std::size_t hello_size = kGreetingSize;
    if (setup.key != nullptr) {
        Nonce nonce;
        fresh_nonce(nonce);
        std::copy(nonce.begin(), nonce.end(), state.hello.begin() + kGreetingSize);
        hello_size = kKeyedHelloSize;
    }
    if (!send_block(state.socket, std::span(state.hello).first(hello_size))) {
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
            const std::size_t message_size = segment.size() + kDestWhoSize;
            const std::span<std::byte> message = std::span(state.out).first(message_size);
            encode_update(segment, id_of(setup, row), message);
            state.out_length = message_size;
            if (setup.key != nullptr) {
                const Tag tag = tag_next(state.session, message);
                std::memcpy(state.out.data() + message_size, tag.data(), tag.size());
                state.out_length += tag.size();
            }
            state.out_sent = 0;
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

// A keyed answer in full: our proof goes out before theirs is checked, so
// that a peer with another key learns it from its own check as well.
const char* finish_keyed_answer(SenderState& sender, int row) {
    const ServiceSenderSetup& setup = *sender.setup;
    SenderRow& state = sender.rows[static_cast<std::size_t>(row)];
    const Transcript transcript = transcript_of(state.hello, std::span(state.answer).first<kKeyedHelloSize>());
    if (!send_block(state.socket, proof_of(*setup.key, LinkEnd::kConnecting, transcript)))
        return "proof could not be sent";
    Proof proof{};
    std::copy(state.answer.begin() + kKeyedHelloSize, state.answer.end(), proof.begin());
    if (!proof_matches(*setup.key, LinkEnd::kListening, transcript, proof)) return "proof does not match: another key";
    state.session = start_session(*setup.key, transcript);
    return nullptr;
}

void take_answer(SenderState& sender, int row) {
    const ServiceSenderSetup& setup = *sender.setup;
    SenderRow& state = sender.rows[static_cast<std::size_t>(row)];
    const std::size_t want = setup.key != nullptr ? kKeyedAnswerSize : kGreetingSize;
    const ssize_t n = recv(state.socket, state.answer.data() + state.answer_got, want - state.answer_got, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n <= 0) {
        row_failed(sender, row, n == 0 ? "peer closed the link before its greeting" : std::strerror(errno));
        return;
    }
    const std::size_t before = state.answer_got;
    state.answer_got += static_cast<std::size_t>(n);
    Greeting expected = setup.expected;
    expected.client_id = id_of(setup, row);
    char reason[96];
    if (before < kGreetingSize && state.answer_got >= kGreetingSize &&
        hello_refused(decode_greeting(std::span(state.answer).first<kGreetingSize>()), expected, reason)) {
        row_failed(sender, row, reason);
        return;
    }
    if (state.answer_got < want) return;
    if (setup.key != nullptr) {
        if (const char* failure = finish_keyed_answer(sender, row)) {
            row_failed(sender, row, failure);
            return;
        }
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

void run_service_sender(const ServiceSenderSetup& given) {
    ServiceSenderSetup setup = given;
    setup.own = with_key_version(given.own, given.key);
    setup.expected = with_key_version(given.expected, given.key);
    SenderState sender{&setup, {}, {}, {}};
    const std::size_t message_length = setup.source.segment(setup.source.context, 0).size() + kDestWhoSize +
                                       (setup.key != nullptr ? kTagSize : 0);
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
        if (!family_intact()) end_family(family_end_status());
        std::int64_t now = now_ms();
        if (now >= next_pass) {
            sync_pass(sender);
            next_pass = now + 1000;
        }
        serve_deadlines(sender, now);
        const int wait = build_poll_set(sender, now_ms(), next_pass);
        std::fflush(stdout);
        if (family_wait(sender.polled.data(), sender.polled.size(), wait) < 0) {
            std::perror("poll");
            end_family(kExitFailure);
        }
        serve_ready(sender);
    }
}

}  // namespace gorv
