#include "common/host_lookup.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "common/constants.h"
#include "common/daemon_life.h"
#include "common/service_link.h"

namespace gorv {

// Addresses are kept as 32-bit words, each atomic, so that a reader racing
// the writer reads words, never torn bytes; the sequence count tells it
// to read again.
struct HostLookups::Entry {
    static constexpr std::size_t kWords = 4;
    std::atomic<std::uint32_t> sequence;
    std::atomic<std::uint32_t> done;
    std::atomic<std::int32_t> count;
    std::atomic<std::int32_t> failed;
    std::array<std::array<std::atomic<std::uint32_t>, kWords>, kMaxHostAddresses> words;
};

namespace {

static_assert(std::atomic<std::uint32_t>::is_always_lock_free, "shared between processes");

struct LookupProcess {
    bool ipv6;
    const HostLookups* lookups;
    const char* (*name_of)(void*, int);
    void* context;
    std::array<bool, kMaxRemotes> asked{};
    std::array<std::int64_t, kMaxRemotes> next_allowed{};
};

void publish(HostLookups::Entry& entry, std::span<const PeerAddress> found, bool failed) {
    entry.sequence.fetch_add(1, std::memory_order_acq_rel);
    if (!failed) {
        entry.count.store(static_cast<std::int32_t>(found.size()), std::memory_order_relaxed);
        for (std::size_t i = 0; i < found.size(); ++i) {
            for (std::size_t w = 0; w < HostLookups::Entry::kWords; ++w) {
                std::uint32_t word;
                std::memcpy(&word, found[i].bytes.data() + 4 * w, 4);
                entry.words[i][w].store(word, std::memory_order_relaxed);
            }
        }
    }
    entry.failed.store(failed ? 1 : 0, std::memory_order_relaxed);
    entry.done.fetch_add(1, std::memory_order_relaxed);
    entry.sequence.fetch_add(1, std::memory_order_release);
}

void look_up(LookupProcess& process, int name) {
    std::array<PeerAddress, kMaxHostAddresses> found{};
    const int count = look_up_all(process.ipv6, process.name_of(process.context, name), found);
    publish(process.lookups->entries[name], std::span(found).first(static_cast<std::size_t>(count)), count == 0);
}

void take_requests(LookupProcess& process, int from) {
    std::array<std::uint8_t, 256> names{};
    for (;;) {
        const ssize_t n = read(from, names.data(), names.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        for (std::size_t i = 0; i < static_cast<std::size_t>(n); ++i)
            if (names[i] < process.lookups->names) process.asked[names[i]] = true;
    }
}

// Sleeps until a request comes, or until the next name asked for may be
// looked up again.
[[noreturn]] void serve_look_ups(LookupProcess& process, int from) {
    const int names = process.lookups->names;
    for (;;) {
        if (!family_intact()) end_family(family_end_status());
        std::int64_t now = now_ms();
        std::int64_t wake = -1;
        for (int name = 0; name < names; ++name) {
            if (!process.asked[name]) continue;
            if (process.next_allowed[name] <= now) {
                process.asked[name] = false;
                look_up(process, name);
                now = now_ms();
                process.next_allowed[name] = now + kLookupSpacingMs;
            } else if (wake < 0 || process.next_allowed[name] < wake) {
                wake = process.next_allowed[name];
            }
        }
        pollfd polled{from, POLLIN, 0};
        const int wait = wake < 0 ? -1 : static_cast<int>(std::max<std::int64_t>(0, wake - now_ms()));
        if (family_wait(&polled, 1, wait) < 0) {
            std::perror("poll");
            end_family(kExitFailure);
        }
        if ((polled.revents & POLLIN) != 0) take_requests(process, from);
    }
}

}  // namespace

bool open_host_lookups(int names, HostLookups& lookups) {
    lookups.names = std::clamp(names, 0, kMaxRemotes);
    const std::size_t size = sizeof(HostLookups::Entry) * static_cast<std::size_t>(std::max(lookups.names, 1));
    void* table = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (table == MAP_FAILED) return false;
    lookups.entries = static_cast<HostLookups::Entry*>(table);  // zeroed by the kernel: nothing known
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    lookups.requests_read = ends[0];
    lookups.requests = ends[1];
    return true;
}

void serve_host_lookups(bool ipv6, const char* (*name_of)(void*, int), void* context, const HostLookups& lookups) {
    LookupProcess process{ipv6, &lookups, name_of, context};
    serve_look_ups(process, lookups.requests_read);
}

void ask_look_up(const HostLookups& lookups, int name) {
    const auto byte = static_cast<std::uint8_t>(name);
    ssize_t n;
    do {
        n = write(lookups.requests, &byte, 1);
    } while (n < 0 && errno == EINTR);
}

KnownHost known_addresses(const HostLookups& lookups, int name, std::span<PeerAddress> addresses) {
    const HostLookups::Entry& entry = lookups.entries[name];
    KnownHost known;
    for (;;) {
        const std::uint32_t before = entry.sequence.load(std::memory_order_acquire);
        if ((before & 1) != 0) continue;
        known.count = std::min<int>(entry.count.load(std::memory_order_relaxed), static_cast<int>(addresses.size()));
        known.count = std::max(known.count, 0);
        for (std::size_t i = 0; i < static_cast<std::size_t>(known.count); ++i) {
            for (std::size_t w = 0; w < HostLookups::Entry::kWords; ++w) {
                const std::uint32_t word = entry.words[i][w].load(std::memory_order_relaxed);
                std::memcpy(addresses[i].bytes.data() + 4 * w, &word, 4);
            }
        }
        known.failed = entry.failed.load(std::memory_order_relaxed) != 0;
        known.done = entry.done.load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (entry.sequence.load(std::memory_order_relaxed) == before) return known;
    }
}

}  // namespace gorv
