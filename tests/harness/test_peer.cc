#include "tests/harness/test_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace gorv::test {
namespace {

struct Loopback {
    sockaddr_storage storage{};
    socklen_t length = 0;
    sockaddr* raw() { return reinterpret_cast<sockaddr*>(&storage); }
};

Loopback loopback(std::uint16_t port, bool ipv6) {
    Loopback address;
    if (ipv6) {
        sockaddr_in6 in6{};
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(port);
        in6.sin6_addr = in6addr_loopback;
        std::memcpy(&address.storage, &in6, sizeof in6);
        address.length = sizeof in6;
    } else {
        sockaddr_in in4{};
        in4.sin_family = AF_INET;
        in4.sin_port = htons(port);
        in4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        std::memcpy(&address.storage, &in4, sizeof in4);
        address.length = sizeof in4;
    }
    return address;
}

std::uint16_t port_of(const sockaddr_storage& storage) {
    if (storage.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(storage).sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in&>(storage).sin_port);
}

int milliseconds_left(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

Fd::~Fd() { close(); }

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

void Fd::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

Fd listen_on(std::uint16_t port, bool ipv6) {
    Fd listener(socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int reuse = 1;
    setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    Loopback address = loopback(port, ipv6);
    if (bind(listener.get(), address.raw(), address.length) < 0 || listen(listener.get(), 10) < 0)
        throw std::runtime_error("cannot listen on port " + std::to_string(port) + ": " + std::strerror(errno));
    return listener;
}

Fd accept_within(const Fd& listener, Millis limit, std::uint16_t* peer_port) {
    pollfd ready{listener.get(), POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(limit.count())) != 1) return Fd();
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    Fd link(accept4(listener.get(), reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC));
    if (link.valid() && peer_port != nullptr) *peer_port = port_of(peer);
    return link;
}

Fd connect_within(std::uint16_t port, Millis limit, bool ipv6) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        Fd link(socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        Loopback address = loopback(port, ipv6);
        if (connect(link.get(), address.raw(), address.length) == 0) return link;
        if (std::chrono::steady_clock::now() >= deadline) return Fd();
        std::this_thread::sleep_for(20ms);
    }
}

std::optional<Bytes> read_within(const Fd& link, size_t n, Millis limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    Bytes bytes(n);
    size_t got = 0;
    while (got < n) {
        pollfd ready{link.get(), POLLIN, 0};
        if (poll(&ready, 1, milliseconds_left(deadline)) != 1) return std::nullopt;
        const ssize_t count = read(link.get(), bytes.data() + got, n - got);
        if (count <= 0) return std::nullopt;
        got += static_cast<size_t>(count);
    }
    return bytes;
}

bool quiet_for(std::span<const Fd* const> links, Millis limit) {
    std::vector<pollfd> ready;
    for (const Fd* link : links) ready.push_back({link->get(), POLLIN, 0});
    return poll(ready.data(), ready.size(), static_cast<int>(limit.count())) == 0;
}

void send_all(const Fd& link, std::span<const std::uint8_t> bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t count = write(link.get(), bytes.data() + sent, bytes.size() - sent);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) throw std::runtime_error(std::string("write: ") + std::strerror(errno));
        sent += static_cast<size_t>(count);
    }
}

Bytes update_bytes(std::int32_t dest_who, std::span<const std::uint32_t> words) {
    Bytes bytes;
    const auto put = [&bytes](std::uint32_t value) {
        for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<std::uint8_t>(value >> shift));
    };
    put(static_cast<std::uint32_t>(dest_who));
    for (std::uint32_t word : words) put(word);
    return bytes;
}

std::vector<std::uint32_t> word_pattern(size_t seg_size, std::uint32_t first, std::uint32_t step) {
    std::vector<std::uint32_t> words(seg_size / 4);
    for (size_t k = 0; k < words.size(); ++k) words[k] = first + static_cast<std::uint32_t>(k) * step;
    return words;
}

std::vector<std::uint32_t> words_of(std::span<const std::byte> segment) {
    std::vector<std::uint32_t> words(segment.size() / 4);
    std::memcpy(words.data(), segment.data(), words.size() * 4);
    return words;
}

}  // namespace gorv::test
