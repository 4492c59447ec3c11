// What the dashboard shows of each client: its StatusRecord as read from the
// master's RO area, how long ago its status last changed, whether it counts
// as STALE, and its link state from the master's link state file.
//
// A status changes as ostrela_monitor counts it: cur_op_rate, run_time, rt
// or wt differs from the previous pass (or is a NaN). A client in RUN whose
// status has not changed for kStaleSeconds is STALE: a running client's run
// time changes every second.
//
// The link state file (common/link_state.h) gives each row's links; a row
// it does not name is unknown, and every row is down once the master that
// wrote it has ended.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/registry.h"
#include "tools/client_records.h"
#include "tools/status_lines.h"

namespace gorv::dashboard {

inline constexpr double kStaleSeconds = 3.0;

struct LinkState {
    bool known = false;
    std::string host;
    bool to_remote_up = false;
    bool from_remote_up = false;
    std::int64_t since = 0;
    std::int64_t relinks = 0;
};

// Rows by index; lines that do not parse are skipped.
std::vector<LinkState> parse_link_states(std::string_view text);

struct LinkStates {
    std::vector<LinkState> rows;  // by index
    std::int32_t master_pid = 0;  // as the file names it
    bool master_gone = false;     // that pid is no process: every row reads down
};
// No rows when the file does not exist or is refused (common/link_state.h).
LinkStates read_link_states(const char* path);

// What carries over from one pass to the next for one client.
struct ClientTrack {
    tools::StatusSnapshot last{};
    double changed_at = 0.0;  // seconds on the caller's clock
};

struct ClientView {
    std::int32_t id = 0;
    // Aligned, so that its doubles may be bound to references (the record alone is packed to 4).
    alignas(8) tools::StatusRecord record{};
    double age_s = 0.0;
    bool stale = false;
    LinkState link;
};

struct Totals {
    double req_op_rate = 0.0;
    double cur_op_rate = 0.0;
    std::int32_t stale = 0;
    std::int32_t links_down = 0;
    std::int32_t not_finite = 0;  // clients whose requested or current rate is not finite
    std::int32_t in_phase[6] = {};  // index 1 to 5 by phase code, 0 for any other code
};

// Phase name without trailing blank ("RUN", "CLEANUP"), or nullptr.
const char* phase_name(std::int32_t phase);

// Starts tracking `clients` clients at time `now`: every age counts from now.
void reset_tracks(std::vector<ClientTrack>& tracks, std::int32_t clients, double now);

// One pass over the RO area (checked by check_status_area for tracks.size()
// clients, seg_size bytes apart): fills views, updates tracks, sums totals
// (over finite rates only, counting the clients with a rate that is not).
void observe_clients(std::span<const std::byte> area, std::int32_t seg_size, double now,
                     std::span<const LinkState> links, std::vector<ClientTrack>& tracks,
                     std::vector<ClientView>& views, Totals& totals);

}  // namespace gorv::dashboard
