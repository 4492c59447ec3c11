// What the master holds after start-up. After the fork every process has
// its own copy of this state; only the two areas are shared.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/peer_link.h"
#include "common/service_link.h"
#include "master/client_list.h"
#include "master/link_state.h"
#include "master/options.h"

namespace gorv::master {

// The sender's tables, one entry per row.
struct SenderTables {
    std::array<int, kMaxRemotes> link{};     // connected socket to the row's remote
    std::array<int, kMaxRemotes> changed{};  // result of the last comparison
    std::array<int, kMaxRemotes> force{};    // 1 until the row's segment has been sent once
    std::array<std::vector<std::byte>, kMaxRemotes> shadow;  // allocated on the row's first comparison
};

// Service mode's: the receivers report their links over a pipe to the
// sender, which keeps every row's state and writes the link state file.
struct ServiceTables {
    int report_read = -1;   // the sender's end
    int report_write = -1;  // the receivers' end
    std::array<RowLinks, kMaxRemotes> links{};
    RepeatFilter file_failures;
    HostLookups lookups;  // every row's host, looked up beside the loops
};

struct Master {
    MasterSettings settings;
    ClientTable clients;
    std::int32_t number_of_segs = 0;
    std::int32_t area_size = 0;
    std::byte* mo_area = nullptr;
    std::byte* ro_area = nullptr;
    bool mo_removal_failed = false;  // a release run could not mark the area for removal
    bool ro_removal_failed = false;
    std::vector<std::byte> decode_buffer;   // Seg_size bytes
    std::vector<std::byte> message_buffer;  // Seg_size + 4 bytes: one update message
    PeerAddress peer_address;               // the sender's last looked-up host
    SenderTables sender;
    ServiceTables service;
    LinkKey link_key;                 // the keys of -K
    const LinkKey* keyed = nullptr;   // null: keyless links
};

// Segment row of an area; empty when the master has no areas (size 0).
inline std::span<std::byte> segment_of(std::byte* area, std::int32_t seg_size, std::int32_t row) {
    if (area == nullptr) return {};
    const auto size = static_cast<std::size_t>(seg_size);
    return {area + static_cast<std::size_t>(row) * size, size};
}

// The process that started the master: pushes changed MO segments. Never returns.
[[noreturn]] void run_sender(Master& master);

// Receiver `row` stores the update in message_buffer into RO segment
// dest_who; an update for a segment the area does not have is dropped.
void store_received_update(Master& master, std::int32_t row);

// The forked child: starts one receiver per row, then waits for one of them.
void run_receiver_spawner(Master& master);

// Whether MO segment `row` changed since the sender's last comparison.
bool mo_segment_changed(Master& master, std::int32_t row);

// Service mode (-k), from the end of start-up: the sender, the spawner and
// the receivers with links that heal. Never returns.
[[noreturn]] void run_service(Master& master);

}  // namespace gorv::master
