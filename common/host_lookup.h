// Host look-ups beside the service-mode loops: one look-up process per
// daemon runs every getaddrinfo, so that a slow or dead name server holds
// up no link. The processes that link ask it for a name by its index (a
// byte down a pipe, never blocking) and read what it found from a table in
// memory shared by the daemon's processes.
//
// A name is looked up at most once a second however often it is asked
// for; a look-up that fails keeps the addresses that the last one that
// worked found. Each entry is written under a sequence count (odd while
// it changes), so a reader never takes half of an entry.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>

#include "common/peer_link.h"

namespace gorv {

inline constexpr int kMaxHostAddresses = 8;

// What a linking process knows of a name.
struct KnownHost {
    int count = 0;           // addresses of the last look-up that worked
    bool failed = false;     // the last look-up failed
    std::uint32_t done = 0;  // look-ups finished so far
};

// The shared table and the way to the look-up process; made by
// open_host_lookups before the daemon forks.
struct HostLookups {
    struct Entry;
    Entry* entries = nullptr;
    int names = 0;
    int requests_read = -1;  // the pipe's ends
    int requests = -1;
};

// Maps the table (nothing known yet) and makes the request pipe, for
// `names` names (at most kMaxRemotes). False with errno set when it cannot.
bool open_host_lookups(int names, HostLookups& lookups);

// The look-up process's loop, in the process of the daemon's family that
// serves nothing else: name i is name_of(context, i), looked up in the
// selected family. Never returns: ends with the family.
[[noreturn]] void serve_host_lookups(bool ipv6, const char* (*name_of)(void* context, int name), void* context,
                                     const HostLookups& lookups);

// Asks for name i to be looked up again; a full pipe drops the request.
void ask_look_up(const HostLookups& lookups, int name);

// Copies up to addresses.size() of name i's addresses.
KnownHost known_addresses(const HostLookups& lookups, int name, std::span<PeerAddress> addresses);

}  // namespace gorv
