// What the processes of the master's service mode share: the receivers
// report their links over a pipe to the sender, which keeps every row's
// state and writes the link state file.
#pragma once

#include <cstdint>

#include "master/master.h"

namespace gorv::master {

// What a receiver tells the sender: the row and whether its link is up.
struct LinkReport {
    std::int32_t row;
    std::int32_t up;
};

// The process's master and, in a receiver, its row.
struct ServiceContext {
    Master* master;
    std::int32_t row;
};
extern ServiceContext service_context;

// The receiver spawner: a receiver per row, then it watches them. Never returns.
[[noreturn]] void spawn_service_receivers(Master& master);

// The started process: links every row and heals its links. Never returns.
[[noreturn]] void send_service_rows(Master& master);

}  // namespace gorv::master
