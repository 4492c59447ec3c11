#include "common/service_link.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/big_endian.h"
#include "common/constants.h"

namespace gorv {
void close_link(int& socket) {
    if (socket >= 0) close(socket);
    socket = -1;
}

bool send_block(int socket, std::span<const std::uint8_t> block) {
    ssize_t sent;
    do {
        sent = send(socket, block.data(), block.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(block.size());
}

GreetingBytes encode_greeting(const Greeting& greeting) {
    GreetingBytes bytes{};
    store_n32(&bytes[0], greeting.magic);
    store_n16(&bytes[4], greeting.version);
    bytes[6] = greeting.role;
    store_n32(&bytes[8], static_cast<std::uint32_t>(greeting.client_id));
    store_n32(&bytes[12], static_cast<std::uint32_t>(greeting.seg_size));
    return bytes;
}

Greeting decode_greeting(std::span<const std::uint8_t, kGreetingSize> bytes) {
    Greeting greeting;
    greeting.magic = load_n32(&bytes[0]);
    greeting.version = load_n16(&bytes[4]);
    greeting.role = bytes[6];
    greeting.client_id = static_cast<std::int32_t>(load_n32(&bytes[8]));
    greeting.seg_size = static_cast<std::int32_t>(load_n32(&bytes[12]));
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

bool key_refused(const Greeting& got, const Greeting& expected, std::span<char> reason) {
    if (got.magic != kGreetingMagic) return false;
    if (got.version == kKeyedGreetingVersion && expected.version == kGreetingVersion)
        std::snprintf(reason.data(), reason.size(), "a peer with a link key, this end has none");
    else if (got.version == kGreetingVersion && expected.version == kKeyedGreetingVersion)
        std::snprintf(reason.data(), reason.size(), "a peer without a link key, this end has one");
    else
        return false;
    return true;
}

bool hello_refused(const Greeting& got, const Greeting& expected, std::span<char> reason) {
    return key_refused(got, expected, reason) || greeting_refused(got, expected, reason);
}

Transcript transcript_of(std::span<const std::uint8_t, kKeyedHelloSize> hello,
                         std::span<const std::uint8_t, kKeyedHelloSize> answer) {
    Transcript transcript{};
    std::copy(hello.begin(), hello.end(), transcript.begin());
    std::copy(answer.begin(), answer.end(), transcript.begin() + kKeyedHelloSize);
    return transcript;
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
}  // namespace gorv
