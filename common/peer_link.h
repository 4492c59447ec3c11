// TCP links between the daemons. Each link carries update messages one way.
//
// Listening end: open_listen_endpoint, accept_peer once, then
// receive_message for every message. Connecting end: resolve_host,
// open_send_link, then send_update for every message.
//
// One set of routines serves both daemons; a LinkParams value holds what
// differs: ports, buffer size, log level, pauses and the texts printed.
// Ports are probed upward from the first one tried and never past 65535.
// Some routines end the process where the daemons must stop: a socket that
// cannot be created or bound (19 listening, 23 connecting), a read error
// (21), the peer closing the link (0).
#pragma once

#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace gorv {

// The texts one daemon prints, by the place they are printed. A null text
// (any field left out) is a line that daemon does not have. Every text of a
// field gets the arguments listed; a text that uses fewer takes the first ones. Lines the daemon
// writes whole (with puts) are stored here with their newline. perror texts
// go to standard error with the system's reason.
struct LinkTexts {
    const char* listen_socket_failed = nullptr;  // perror, exit 19
    const char* rcvbuf_failed = nullptr;         // perror
    const char* reuseaddr_failed = nullptr;      // perror
    const char* listen_ports_used_up = nullptr;  // perror, exit 19: no port up to 65535 binds
    const char* bound_at = nullptr;              // level 2 (port)
    const char* bound_at_of_id = nullptr;        // level 2 (id, port)
    const char* moved_up = nullptr;              // standard error, always (id, first port, port listened on)
    const char* listen_socket = nullptr;         // level 2 (listening socket)
    const char* attach = nullptr;                // level 2 (id, listening socket)
    const char* enters_listen = nullptr;         // level 2 (id)
    const char* enters_accept = nullptr;         // level 2 (id)
    const char* attached = nullptr;              // level 2 (id, socket, errno)
    const char* accept_failed = nullptr;         // always when accept gave 0 or less (id, value, errno)
    const char* send_socket_failed = nullptr;    // perror, exit 23
    const char* local_ports_used_up = nullptr;   // perror, exit 23: no local port up to 65535 binds
    const char* bound_local = nullptr;           // level 2 (local port)
    const char* calling_connect = nullptr;       // level 2 ()
    const char* connected = nullptr;             // level 2 ()
    const char* connect_failed = nullptr;        // perror, after the last attempt on a socket
    const char* entering_receive = nullptr;      // level 2 (id, socket, length)
    const char* in_receive = nullptr;            // level 2 (id, socket, length)
    const char* read_failed = nullptr;           // always, exit 21 (errno)
    const char* peer_closed = nullptr;           // always, exit 0 ()
    const char* got_bytes = nullptr;             // level 2 (bytes read)
    const char* got_bytes_of_id = nullptr;       // level 2 (id, bytes read)
    const char* message_complete = nullptr;      // level 2 (id)
};

struct LinkParams {
    std::uint16_t listen_base;       // a listening end tries listen_base + id first
    std::uint16_t connect_base;      // a connecting end aims at connect_base + the peer's index
    std::uint16_t first_local_port;  // of every connecting socket (service mode lets the kernel pick)
    int receive_buffer;              // SO_RCVBUF of the listening socket
    int log_level;
    int connect_attempts;            // on one socket before it is replaced
    int pause_ms;                    // between attempts, after a connection, between look-ups
    bool connected_after_pause;      // log "connected" after the pause rather than before
    bool ipv6;                       // the address family switch
    int id;                          // printed in the lines; a listening end's index
    const LinkTexts* texts;
};

// The master's parameters; ipv6 and id are filled in by each process.
extern const LinkParams kMasterLinkParams;
// The remote's parameters; ipv6, id (the client id) and receive_buffer (the
// message length) are filled in by each process.
extern const LinkParams kRemoteLinkParams;

// A peer's address, no port: IPv6 uses all 16 bytes, IPv4 bytes 0 to 3 in
// network order.
struct PeerAddress {
    std::array<std::uint8_t, 16> bytes{};
};

// Looks the host up in the selected family and writes the first address
// found into address. A failed look-up prints "%s could not be located by
// getaddrinfo" on standard error and is repeated after a pause, until it
// succeeds: the address is never left stale.
const PeerAddress& resolve_host(const LinkParams& link, const char* host, PeerAddress& address);

// A TCP socket with the receive buffer set and SO_REUSEADDR, listening on
// the wildcard address at listen_base + id or the first port above it on
// which both bind and listen succeed, so that two ends probing at once never
// share a port. An end that had to move up says so on standard error.
int open_listen_endpoint(const LinkParams& link);

// Listens (backlog 10, again) and accepts one peer. Returns what accept
// returned, negative on failure.
int accept_peer(const LinkParams& link, int listening);

// A socket bound to the first free local port from first_local_port up and
// connected to the peer. Retries without end until the peer accepts.
int open_send_link(const LinkParams& link, std::uint16_t peer_port, const PeerAddress& peer);

// Fills the whole message from the socket, reading only the bytes still
// missing, so nothing of the next message is taken.
void receive_message(const LinkParams& link, int socket, std::span<std::byte> message);

void sleep_ms(int milliseconds);

// Service mode's pieces of the same link set-up.

// Up to addresses.size() addresses of the host in the selected family;
// returns how many were written, 0 when the look-up failed. A caller that
// asks for one gets the first one found, as resolve_host does.
int look_up_all(bool ipv6, const char* host, std::span<PeerAddress> addresses);

// A socket with the listening end's options, bound to listen_base + id
// itself and listening there; -1 with errno set when that port is taken.
int listen_at_own_port(const LinkParams& link);

// The socket address of peer_port at the peer, in the link's family.
void connect_address(const LinkParams& link, std::uint16_t peer_port, const PeerAddress& peer,
                     sockaddr_storage& storage, socklen_t& length);

}  // namespace gorv
