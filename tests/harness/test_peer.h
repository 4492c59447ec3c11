// A test's own end of the daemons' TCP links, on loopback. It builds and
// checks update messages byte by byte itself, so that a fault in the
// project's codec cannot hide on both ends. Every wait is bounded.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "tests/harness/process_harness.h"

namespace gorv::test {

// A socket descriptor, closed with its owner.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd();
    Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void close();

  private:
    int fd_ = -1;
};

using Bytes = std::vector<std::uint8_t>;

// A listening socket on the loopback address (127.0.0.1 or ::1).
Fd listen_on(std::uint16_t port, bool ipv6 = false);
// The next connection, if one comes within limit; peer_port gets its port.
Fd accept_within(const Fd& listener, Millis limit, std::uint16_t* peer_port = nullptr);
// Connects to the loopback port, trying again until limit has passed.
Fd connect_within(std::uint16_t port, Millis limit, bool ipv6 = false);

// Exactly n bytes, or nullopt when they do not all come within limit.
std::optional<Bytes> read_within(const Fd& link, size_t n, Millis limit);
// True when nothing arrives on any of the links (nor do they close) within limit.
bool quiet_for(std::span<const Fd* const> links, Millis limit);
void send_all(const Fd& link, std::span<const std::uint8_t> bytes);

// An update message: dest_who and then every word, each big-endian.
Bytes update_bytes(std::int32_t dest_who, std::span<const std::uint32_t> words);
// seg_size / 4 words, word k = first + k * step.
std::vector<std::uint32_t> word_pattern(size_t seg_size, std::uint32_t first, std::uint32_t step);
// Words of a segment in host order.
std::vector<std::uint32_t> words_of(std::span<const std::byte> segment);

}  // namespace gorv::test
