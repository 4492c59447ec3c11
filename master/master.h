// What the master holds after start-up. After the fork every process has
// its own copy of this state; only the two areas are shared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "master/client_list.h"
#include "master/options.h"

namespace gorv::master {

struct Master {
    MasterSettings settings;
    ClientTable clients;
    std::int32_t number_of_segs = 0;
    std::int32_t area_size = 0;
    std::byte* mo_area = nullptr;
    std::byte* ro_area = nullptr;
    std::vector<std::byte> decode_buffer;   // Seg_size bytes
    std::vector<std::byte> message_buffer;  // Seg_size + 4 bytes: one update message
};

// The process that started the master: pushes changed MO segments. Never returns.
[[noreturn]] void run_sender(Master& master);

// The forked child: starts one receiver per row, then waits for one of them.
void run_receiver_spawner(Master& master);

}  // namespace gorv::master
