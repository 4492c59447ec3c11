// What the master's sender keeps of every row's links in service mode, and
// the link state file it makes of it (the format is common/link_state.h's).
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "master/client_list.h"

namespace gorv::master {

struct RowLinks {
    bool to_remote = false;
    bool from_remote = false;
    bool to_remote_seen = false;  // linked at least once
    bool from_remote_seen = false;
    std::int64_t since = 0;
    std::int32_t relinks = 0;
};

// Records one direction of a row going up or down at unix time `now`.
void note_link(RowLinks& row, bool to_remote, bool up, std::int64_t now);

// The rows' lines; with a pid, the whole file naming it as the master that writes it.
std::string link_state_text(std::span<const RowLinks> rows, const ClientTable& clients);
std::string link_state_text(std::int32_t pid, std::span<const RowLinks> rows, const ClientTable& clients);

}  // namespace gorv::master
