#include "common/peer_link.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/constants.h"
#include "common/log_line.h"

namespace gorv {

namespace {

const LinkTexts kMasterLinkTexts{
    .listen_socket_failed = "socket failed:",
    .rcvbuf_failed = "Error in setsockopt 5\n",
    .reuseaddr_failed = "Error in setsockopt 6\n",
    .listen_ports_used_up = "Master's child: no free port up to 65535 to listen on",
    .bound_at = "Master's child: Async Listen: Bound at port %d\n",
    .moved_up = "Master's child %d: port %d is taken, listening on port %d\n",
    .attach = "Master %d attach async\n",
    .enters_listen = "Master %d enters listen\n",
    .enters_accept = "Master %d enters accept\n",
    .attached = "Master %d attached for receive. Sock %d  %d\n",
    .send_socket_failed = "Master: async socket failed:",
    .local_ports_used_up = "Master: no free local port up to 65535 to connect from",
    .bound_local = "Master: Bound async send port %d\n",
    .calling_connect = "Master: calling connect..\n",
    .connected = "Master async send Connected\n",
    .connect_failed = "Master: async connect failed\n",
    .in_receive = "Master %d In async recieve \n",
    .read_failed = "Master failed. Errno %d \n",
    .got_bytes = "Master: Got %d bytes (async) \n",
};

const LinkTexts kRemoteLinkTexts{
    .listen_socket_failed = "socket failed:",
    .rcvbuf_failed = "Error in setsockopt 5\n",
    .reuseaddr_failed = "Error in setsockopt 6\n",
    .listen_ports_used_up = "Remote: no free port up to 65535 to listen on",
    .bound_at_of_id = "Remote %d: Async Listen: Bound at port %d\n",
    .moved_up = "Remote %d: port %d is taken, listening on port %d\n",
    .listen_socket = "Remote async listen socket %d \n",
    .attach = "Remote %d attach async. Sock %d\n",
    .enters_listen = "Remote %d enters listen\n",
    .enters_accept = "Remote %d enters accept\n",
    .attached = "Remote %d attached for receive. Sock %d\n",
    .accept_failed = "Remote %d attached for receive. Sock %d errno %d\n",
    .send_socket_failed = "Remote: async socket failed:",
    .local_ports_used_up = "Remote: no free local port up to 65535 to connect from",
    .bound_local = "Remote: Bound async port\n",
    .connected = "Remote async Connected\n",
    .connect_failed = "Remote: async connect failed\n",
    .entering_receive = "Remote child %d Sock %d Entering async recieve %d\n",
    .in_receive = "Remote %d Sock %d In async recieve %d\n",
    .read_failed = "Remote failed. Errno %d \n",
    .peer_closed = "Remote socket closed. Exiting... \n",
    .got_bytes = "Remote read %d bytes \n",
    .got_bytes_of_id = "Remote %d: Got %d bytes (async) \n",
    .message_complete = "Remote %d: return from async listen\n",
};

constexpr int kHighestPort = 65535;

struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;

    sockaddr* raw() { return reinterpret_cast<sockaddr*>(&storage); }
};

int family_of(const LinkParams& link) { return link.ipv6 ? AF_INET6 : AF_INET; }

// The wildcard address when peer is null.
SocketAddress make_address(bool ipv6, int port, const PeerAddress* peer) {
    SocketAddress address;
    if (ipv6) {
        sockaddr_in6 in6{};
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(static_cast<std::uint16_t>(port));
        if (peer != nullptr) std::memcpy(&in6.sin6_addr, peer->bytes.data(), sizeof in6.sin6_addr);
        std::memcpy(&address.storage, &in6, sizeof in6);
        address.length = sizeof in6;
    } else {
        sockaddr_in in4{};
        in4.sin_family = AF_INET;
        in4.sin_port = htons(static_cast<std::uint16_t>(port));
        in4.sin_addr.s_addr = htonl(INADDR_ANY);
        if (peer != nullptr) std::memcpy(&in4.sin_addr, peer->bytes.data(), sizeof in4.sin_addr);
        std::memcpy(&address.storage, &in4, sizeof in4);
        address.length = sizeof in4;
    }
    return address;
}

// Binds to the wildcard address at the first port from first_port up that
// is free. Returns that port, or -1 with errno set when none up to 65535 is.
int bind_upward(int socket, bool ipv6, int first_port) {
    errno = EADDRNOTAVAIL;
    for (int port = first_port; port <= kHighestPort; ++port) {
        SocketAddress address = make_address(ipv6, port, nullptr);
        if (bind(socket, address.raw(), address.length) == 0) return port;
    }
    return -1;
}

// A fresh socket of the link's family with the listening end's options.
int new_listen_socket(const LinkParams& link) {
    const LinkTexts& texts = *link.texts;
    const int listening = socket(family_of(link), SOCK_STREAM, 0);
    if (listening < 0) {
        std::perror(texts.listen_socket_failed);
        std::exit(kExitListenSocket);
    }
    const int receive_buffer = link.receive_buffer;
    if (setsockopt(listening, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer) == -1)
        std::perror(texts.rcvbuf_failed);
    const int reuse = 1;
    if (setsockopt(listening, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) == -1)
        std::perror(texts.reuseaddr_failed);
    return listening;
}

bool look_up(bool ipv6, const char* host, PeerAddress& address) {
    return look_up_all(ipv6, host, std::span<PeerAddress>(&address, 1)) > 0;
}

// Lines are flushed before the daemon waits, so that its log shows them.
void pause_link(const LinkParams& link) {
    std::fflush(stdout);
    sleep_ms(link.pause_ms);
}

int connected(const LinkParams& link, int socket) {
    const LinkTexts& texts = *link.texts;
    if (!link.connected_after_pause) {
        log_line(link.log_level, 2, texts.connected);
        std::fflush(stdout);
    }
    pause_link(link);
    if (link.connected_after_pause) log_line(link.log_level, 2, texts.connected);
    return socket;
}

}  // namespace

const LinkParams kMasterLinkParams{
    kMasterListenBase,
    kRemoteListenBase,
    kMasterFirstLocalPort,
    kMasterReceiveBuffer,
    kMasterLogLevel,
    kConnectAttempts,
    kLinkPauseMs,
    false,
    false,
    0,
    &kMasterLinkTexts,
};

const LinkParams kRemoteLinkParams{
    kRemoteListenBase,
    kMasterListenBase,
    kRemoteFirstLocalPort,
    0,
    kRemoteLogLevel,
    kConnectAttempts,
    kLinkPauseMs,
    true,
    false,
    0,
    &kRemoteLinkTexts,
};

const PeerAddress& resolve_host(const LinkParams& link, const char* host, PeerAddress& address) {
    while (!look_up(link.ipv6, host, address)) {
        std::fprintf(stderr, "%s could not be located by getaddrinfo\n", host);
        pause_link(link);
    }
    return address;
}

int open_listen_endpoint(const LinkParams& link) {
    const LinkTexts& texts = *link.texts;
    const int first_port = link.listen_base + link.id;
    int listening = new_listen_socket(link);
    int port = first_port;
    // With SO_REUSEADDR two sockets may bind one port while neither listens
    // yet: a port counts as taken unless listen succeeds on it too. A bound
    // socket cannot be bound again, so a failed listen costs a new socket.
    errno = EADDRNOTAVAIL;
    for (; port <= kHighestPort; ++port) {
        SocketAddress address = make_address(link.ipv6, port, nullptr);
        if (bind(listening, address.raw(), address.length) != 0) continue;
        if (listen(listening, kListenBacklog) == 0) break;
        const int error = errno;
        close(listening);
        listening = new_listen_socket(link);
        errno = error;
    }
    if (port > kHighestPort) {
        std::perror(texts.listen_ports_used_up);
        close(listening);
        std::exit(kExitListenSocket);
    }
    log_line(link.log_level, 2, texts.bound_at, port);
    log_line(link.log_level, 2, texts.bound_at_of_id, link.id, port);
    log_line(link.log_level, 2, texts.listen_socket, listening);
    if (port != first_port && texts.moved_up != nullptr) {
        std::fflush(stdout);
        std::fprintf(stderr, texts.moved_up, link.id, first_port, port);
    }
    return listening;
}

int accept_peer(const LinkParams& link, int listening) {
    const LinkTexts& texts = *link.texts;
    log_line(link.log_level, 2, texts.attach, link.id, listening);
    SocketAddress peer;
    peer.length = link.ipv6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    log_line(link.log_level, 2, texts.enters_listen, link.id);
    // open_listen_endpoint has listened already: this sets the backlog again.
    // A failure shows in the accept that follows.
    listen(listening, kListenBacklog);
    log_line(link.log_level, 2, texts.enters_accept, link.id);
    std::fflush(stdout);
    int accepted;
    do {
        accepted = accept(listening, peer.raw(), &peer.length);
    } while (accepted < 0 && errno == EINTR);
    const int error = errno;
    log_line(link.log_level, 2, texts.attached, link.id, accepted, error);
    if (accepted <= 0) log_line(link.log_level, kAlways, texts.accept_failed, link.id, accepted, error);
    return accepted;
}

int open_send_link(const LinkParams& link, std::uint16_t peer_port, const PeerAddress& peer) {
    const LinkTexts& texts = *link.texts;
    sleep_ms(1);
    for (;;) {
        SocketAddress remote = make_address(link.ipv6, peer_port, &peer);
        const int sending = socket(family_of(link), SOCK_STREAM, 0);
        if (sending < 0) {
            std::perror(texts.send_socket_failed);
            std::exit(kExitConnectSocket);
        }
        const int port = bind_upward(sending, link.ipv6, link.first_local_port);
        if (port < 0) {
            std::perror(texts.local_ports_used_up);
            close(sending);
            std::exit(kExitConnectSocket);
        }
        log_line(link.log_level, 2, texts.bound_local, port);

        for (int attempt = 1; attempt <= link.connect_attempts; ++attempt) {
            log_line(link.log_level, 2, texts.calling_connect);
            if (connect(sending, remote.raw(), remote.length) == 0) return connected(link, sending);
            if (attempt < link.connect_attempts) pause_link(link);
        }
        // A fresh socket starts its local port search from the first port again.
        std::perror(texts.connect_failed);
        close(sending);
        pause_link(link);
    }
}

void receive_message(const LinkParams& link, int socket, std::span<std::byte> message) {
    const LinkTexts& texts = *link.texts;
    const int length = static_cast<int>(message.size());
    log_line(link.log_level, 2, texts.entering_receive, link.id, socket, length);
    std::size_t received = 0;
    while (received < message.size()) {
        log_line(link.log_level, 2, texts.in_receive, link.id, socket, length);
        const ssize_t n = read(socket, message.data() + received, message.size() - received);
        if (n < 0) {
            const int error = errno;
            if (error == EINTR) continue;
            log_line(link.log_level, kAlways, texts.read_failed, error);
            std::exit(kExitReadError);
        }
        if (n == 0) {  // the peer closed the link; a partial message is dropped
            log_line(link.log_level, kAlways, texts.peer_closed);
            std::exit(kExitOk);
        }
        log_line(link.log_level, 2, texts.got_bytes, static_cast<int>(n));
        log_line(link.log_level, 2, texts.got_bytes_of_id, link.id, static_cast<int>(n));
        received += static_cast<std::size_t>(n);
    }
    log_line(link.log_level, 2, texts.message_complete, link.id);
}

int look_up_all(bool ipv6, const char* host, std::span<PeerAddress> addresses) {
    addrinfo hints{};
    hints.ai_family = ipv6 ? AF_INET6 : AF_INET;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0) return 0;
    std::size_t count = 0;
    for (const addrinfo* entry = found; entry != nullptr && count < addresses.size(); entry = entry->ai_next) {
        const sockaddr* first = entry->ai_addr;
        PeerAddress& address = addresses[count];
        bool copied = false;
        if (ipv6 && first->sa_family == AF_INET6 && entry->ai_addrlen >= sizeof(sockaddr_in6)) {
            sockaddr_in6 in6{};
            std::memcpy(&in6, first, sizeof in6);
            std::memcpy(address.bytes.data(), &in6.sin6_addr, sizeof in6.sin6_addr);
            copied = true;
        } else if (!ipv6 && first->sa_family == AF_INET && entry->ai_addrlen >= sizeof(sockaddr_in)) {
            sockaddr_in in4{};
            std::memcpy(&in4, first, sizeof in4);
            std::memcpy(address.bytes.data(), &in4.sin_addr, sizeof in4.sin_addr);
            copied = true;
        }
        // An address comes once per socket type: each is kept once.
        bool repeated = false;
        for (std::size_t k = 0; k < count && copied; ++k) repeated = repeated || addresses[k].bytes == address.bytes;
        if (copied && !repeated) ++count;
        // The first entry alone decides for a caller that wants one address.
        if (addresses.size() == 1) break;
    }
    freeaddrinfo(found);
    return static_cast<int>(count);
}

int listen_at_own_port(const LinkParams& link) {
    int listening = new_listen_socket(link);
    SocketAddress address = make_address(link.ipv6, link.listen_base + link.id, nullptr);
    if (bind(listening, address.raw(), address.length) == 0 && listen(listening, kListenBacklog) == 0)
        return listening;
    const int error = errno;
    close(listening);
    errno = error;
    return -1;
}

void connect_address(const LinkParams& link, std::uint16_t peer_port, const PeerAddress& peer,
                     sockaddr_storage& storage, socklen_t& length) {
    SocketAddress address = make_address(link.ipv6, peer_port, &peer);
    storage = address.storage;
    length = address.length;
}

void sleep_ms(int milliseconds) {
    timeval timeout{};
    timeout.tv_sec = milliseconds / 1000;
    timeout.tv_usec = static_cast<suseconds_t>(milliseconds % 1000) * 1000;
    select(0, nullptr, nullptr, nullptr, &timeout);
}

}  // namespace gorv
