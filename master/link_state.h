// The master's link state file (service mode): one line per row,
//
//   row=<i> host=<name> to_remote=<up|down> from_remote=<up|down> since=<unix seconds> relinks=<count>
//
// since is the time of the row's last change in either direction (the
// master's start before any), relinks counts the links made again after a
// direction's first one. The file is replaced whole on every change.
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

std::string link_state_text(std::span<const RowLinks> rows, const ClientTable& clients);

}  // namespace gorv::master
