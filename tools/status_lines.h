// ostrela_monitor's passes over the master's RO area: which clients changed
// since the previous pass and the line printed for each.
//
// A client counts as changed when cur_op_rate, run_time, rt or wt differs
// from the previous pass or is a NaN; req_op_rate and phase alone do not
// count. The phase text is one holder for all clients and passes: only the
// codes 1 to 5 change it. An empty line follows the pass only when the last
// client got a line.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

#include "common/constants.h"
#include "common/registry.h"
#include "tools/client_records.h"

namespace gorv::tools {

struct StatusSnapshot {
    double cur_op_rate = 0.0;
    double run_time = 0.0;
    double rt = 0.0;
    double wt = 0.0;
};

// What carries over from one pass to the next.
struct MonitorState {
    std::array<StatusSnapshot, kMonitorCapacity> snapshots{};
    char phase_text[9] = {};  // at most 8 characters
};

enum class AreaFit {
    kFits,
    kTooManyClients,  // more clients than the snapshot holds
    kPastArea,        // the last client's StatusRecord would end past RO size bytes
};

// Whether every client's StatusRecord named by the registry's RO line lies
// inside the area. No client (a count of 0 or less) always fits.
AreaFit check_status_area(const AreaEntry& ro);

bool status_changed(const StatusRecord& record, const StatusSnapshot& previous);

void print_status_line(std::FILE* out, const char* timestamp, std::int32_t client, const char* phase_text,
                       const StatusRecord& record);

// One pass over `clients` records, `seg_size` bytes apart, in an area that
// check_status_area accepted. `timestamp` is asked afresh for every line.
void monitor_pass(std::span<const std::byte> area, std::int32_t clients, std::int32_t seg_size, MonitorState& state,
                  std::FILE* out, const char* (*timestamp)());

}  // namespace gorv::tools
