// What the remote daemon holds after start-up. After the fork the receiver
// and the sender each have their own copy of this state; only the two
// areas are shared.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "common/host_lookup.h"
#include "common/link_key.h"
#include "common/peer_link.h"
#include "remote/options.h"

namespace gorv::remote {

// "/tmp/gorv_registry_client_" and an id of at most three digits.
inline constexpr size_t kRegistryPathMax = 64;

struct Remote {
    RemoteSettings settings;
    key_t mo_key = 0;
    key_t ro_key = 0;
    std::int32_t area_size = 0;       // stays 0 when no area is acquired
    std::int32_t message_length = 0;  // L: Seg_size + 4, one update message
    char registry_path[kRegistryPathMax] = {};  // stays empty when no area is acquired
    // Heap blocks, allocated and zeroed once at start-up, kept until the end.
    std::span<std::byte> decode_buffer;   // Seg_size bytes
    std::span<std::byte> message_buffer;  // L bytes
    std::span<std::byte> shadow_copy;     // Seg_size bytes: the sender's copy of the RO segment
    std::byte* mo_area = nullptr;  // null when no area is acquired
    std::byte* ro_area = nullptr;
    bool mo_removal_failed = false;  // a release run could not mark the area for removal
    bool ro_removal_failed = false;
    // The sender's: the master's address, and its one link, kept at the
    // client id's entry (the options refuse ids without an entry).
    PeerAddress peer_address;
    std::array<int, kMaxRemotes> links{};
    HostLookups lookups;             // service mode: the master's host, looked up beside the loops
    LinkKey link_key;                // the keys of -K
    const LinkKey* keyed = nullptr;  // null: keyless links
};

// The one segment of an area; empty when the remote has no areas (size 0).
inline std::span<std::byte> only_segment(std::byte* area, std::int32_t seg_size) {
    if (area == nullptr) return {};
    return {area, static_cast<std::size_t>(seg_size)};
}

// The remote's link parameters, with its own address family, id and
// message length.
inline LinkParams link_params_of(const Remote& remote) {
    LinkParams link = kRemoteLinkParams;
    link.ipv6 = remote.settings.ipv6;
    link.id = remote.settings.client_id;
    link.receive_buffer = remote.message_length;
    return link;
}

// The forked child: takes the master's updates into the MO area. Never returns.
[[noreturn]] void run_receiver(Remote& remote);

// Copies the update in message_buffer into the MO area's only segment when
// its dest_who is this client id; any other is dropped with a line.
void store_received_update(Remote& remote);

// The process that started the daemon: sends the RO segment when it changed.
// Never returns.
[[noreturn]] void run_sender(Remote& remote);

// Service mode (-k), from the end of start-up: the receiver and the sender
// with links that heal. Never returns.
[[noreturn]] void run_service(Remote& remote);

}  // namespace gorv::remote
