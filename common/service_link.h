// Service mode (-k) links: what both daemons add to the peer links so that
// a link heals by itself and no row holds up another.
//
// Every link begins with a greeting each way: the connecting end sends
// its own, the listening end checks it and answers with its own, which the
// connecting end checks in turn. Only then do update messages flow, one way,
// framed and encoded as in plain mode (the default: links made once, no
// greeting). A greeting is 16 bytes:
//
//   bytes 0..3    magic "GORV" (0x474f5256, big-endian)
//   bytes 4..5    format version, big-endian (1, 2 on a keyed link)
//   byte  6       role of the sender: 1 master, 2 remote
//   byte  7       zero
//   bytes 8..11   client id (the master's row), big-endian
//   bytes 12..15  Seg_size, big-endian
//
// A listening end takes links only from its expected host's addresses, and
// keeps listening for its whole life: a newer link whose greeting is right
// replaces the one it has. A connecting end tries again once a second
// without end, sends its whole segment first on every new link, and keeps
// only the newest message of a row that cannot take one now. Every link
// event is one line with a local timestamp; a refusal for the reason given
// last time is not printed again.
//
// A keyed link (-K) adds nonces, proofs and a tag after every message
// (common/link_key.h); a keyless end and a keyed one refuse each other.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/host_lookup.h"
#include "common/link_key.h"
#include "common/peer_link.h"

namespace gorv {

inline constexpr std::uint32_t kGreetingMagic = 0x474f5256;
inline constexpr std::uint16_t kGreetingVersion = 1;
inline constexpr std::uint16_t kKeyedGreetingVersion = 2;
inline constexpr std::size_t kGreetingSize = 16;
// A keyed link's first block each way: the greeting and a nonce, and from
// the listening end its proof as well.
inline constexpr std::size_t kKeyedHelloSize = kGreetingSize + kNonceSize;
inline constexpr std::size_t kKeyedAnswerSize = kKeyedHelloSize + kProofSize;

enum class LinkRole : std::uint8_t { kMaster = 1, kRemote = 2 };

struct Greeting {
    std::uint32_t magic = kGreetingMagic;
    std::uint16_t version = kGreetingVersion;
    std::uint8_t role = 0;
    std::int32_t client_id = 0;
    std::int32_t seg_size = 0;
};

// This format's greeting of a side with the given role.
constexpr Greeting make_greeting(LinkRole role, std::int32_t client_id, std::int32_t seg_size) {
    return {kGreetingMagic, kGreetingVersion, static_cast<std::uint8_t>(role), client_id, seg_size};
}

using GreetingBytes = std::array<std::uint8_t, kGreetingSize>;

GreetingBytes encode_greeting(const Greeting& greeting);
Greeting decode_greeting(std::span<const std::uint8_t, kGreetingSize> bytes);

// Reason text of the first field in which `got` differs from `expected`,
// written into reason; false when the greeting is right.
bool greeting_refused(const Greeting& got, const Greeting& expected, std::span<char> reason);

// Reason text when one end has a link key and the other has none (the
// versions say which); false otherwise.
bool key_refused(const Greeting& got, const Greeting& expected, std::span<char> reason);

// Both checks in turn: key_refused, then greeting_refused.
bool hello_refused(const Greeting& got, const Greeting& expected, std::span<char> reason);

// The transcript of a keyed link: the connecting end's hello, then the
// listening end's greeting and nonce (the first kKeyedHelloSize bytes of
// its answer).
Transcript transcript_of(std::span<const std::uint8_t, kKeyedHelloSize> hello,
                         std::span<const std::uint8_t, kKeyedHelloSize> answer);

// A greeting of the version that a link with (or without) a key uses.
constexpr Greeting with_key_version(Greeting greeting, const LinkKey* key) {
    if (key != nullptr) greeting.version = kKeyedGreetingVersion;
    return greeting;
}

// A refusal or failure that repeats the reason printed last is not printed.
struct RepeatFilter {
    std::array<char, 128> last{};
    bool fresh(const char* reason);
    void reset() { last[0] = '\0'; }
};

// Who prints a link event and about which link: "<time> <who> <id>
// <direction>: <event>", e.g. "Master row 3 to_remote: up".
struct LinkName {
    const char* who;
    int id;
    const char* direction;
};
void log_link_event(const LinkName& name, const char* event, const char* reason = nullptr);

// TCP keepalive and the user time-out: a peer's host that acknowledges
// nothing for about 10 s ends the link. False when an option cannot be set.
bool set_link_liveness(int socket);

// Milliseconds of the monotonic clock.
std::int64_t now_ms();

// Closes a link's socket, if open, and marks it closed (-1).
void close_link(int& socket);

// Sends all of a short block (a greeting) on a socket that has just been
// linked; false when the socket could not take it at once.
bool send_block(int socket, std::span<const std::uint8_t> block);

// The listening end. store is called with each complete message in
// `message`; report (may be null) with every link going up or down.
struct ServiceReceiver {
    LinkParams link;          // listens on listen_base + id, never another port
    LinkName name;
    const char* peer_host;    // links are taken from its addresses only
    const HostLookups* lookups;  // where its addresses are found, as name name_index
    int name_index;
    Greeting own;             // answered to the peer
    Greeting expected;        // what the peer must send
    std::span<std::byte> message;
    void* context;
    void (*store)(void* context);
    void (*report)(void* context, bool up);
    const LinkKey* key;       // null: a keyless link
};

// Never returns: ends with the daemon's family (common/daemon_life.h).
[[noreturn]] void run_service_receiver(const ServiceReceiver& receiver);

// The connecting end of one or more rows, one process over non-blocking
// sockets and poll(2). Row i serves client id first_id + i: it connects to
// connect_base + that id, greets with it and sends it as dest_who.
struct ServiceRowSource {
    void* context;
    // Whether the row's segment changed since the last pass (change
    // detection against its shadow).
    bool (*changed)(void* context, int row);
    std::span<const std::byte> (*segment)(void* context, int row);
    // A row's link going up or down (may be null).
    void (*report)(void* context, int row, bool up);
    // A descriptor to watch as well (-1: none), and what to do when it can be read.
    int extra_fd;
    void (*on_extra)(void* context);
};

struct ServiceSenderSetup {
    LinkParams link;
    const char* who;
    const char* direction;
    int rows;
    int first_id;
    const char* (*host_of)(void* context, int row);
    const HostLookups* lookups;  // row i's host is name i
    Greeting own;       // client_id is set per row
    Greeting expected;  // client_id is set per row
    ServiceRowSource source;
    const LinkKey* key;  // null: keyless links
};

[[noreturn]] void run_service_sender(const ServiceSenderSetup& setup);

}  // namespace gorv
