// ostrela_modify's command line, where its writes may land, and the one
// routine through which every program steers a client's ControlRecord.
//
// Options (getopt string "Hvr:o:w:E ", the trailing blank accepted and
// ignored): -H usage, -v version, -E export the built-in workload set (each
// acts and ends the program the moment it is met); -r client id, -o rate,
// -w file (asks for the built-in workload set; the file is never opened).
// Further options after those: -W file (asks for the set in that JSON
// file, read and checked before any area is touched; refused together with
// -w), -J (prints the built-in set as JSON and ends the program at once).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "common/registry.h"
#include "tools/client_records.h"

namespace gorv::tools {

struct ModifyRequest {
    long client_id = 0;  // strtol's value, checked against the area before use
    double rate = 0.0;
    bool rate_update = false;
    bool workload_update = false;
    const char* workload_file = nullptr;      // -W: where the set to write stands
    std::optional<WorkloadSet> workload_set{};  // written instead of the built-in set
};

void print_modify_usage();

// Records -r, -o, -w and -W into request (the last of each counts). Returns
// the status to end with when -H, -v, -E or -J was met, after its output,
// and 1 after its line when -w and -W were both given.
std::optional<int> parse_modify_options(int argc, char** argv, ModifyRequest& request);

// Reads and checks request.workload_file into request.workload_set. The
// line naming the file and the reason when it cannot be read or is refused.
std::optional<std::string> load_workload_file(ModifyRequest& request);

enum class Placement {
    kFits,
    kNoSuchClient,  // the id is outside 0 .. Number_of_segs - 1
    kPastSegment,   // the bytes to be written do not fit in one segment
    kPastArea,      // they would end past MO size bytes from the area's start
};

// The bytes a request writes: the whole 6032-byte ControlRecord with a
// workload update, op_rate and the two flags (16 bytes) otherwise.
std::int32_t bytes_written(const ModifyRequest& request);

// Whether the request's bytes lie inside the client's segment and the area.
Placement place_request(const ModifyRequest& request, const AreaEntry& mo);

// Checks the request's placement and, when it fits, writes it into the
// client's ControlRecord in the MO area at `area`: op_rate, then
// op_rate_changed 1 (with a rate update); workload_changed 0; then, with a
// workload update, workload_changed 1 and the workload set (the request's
// own, or the built-in one). Nothing
// else is written, and nothing at all when the request does not fit.
Placement apply_modify_request(std::byte* area, const AreaEntry& mo, const ModifyRequest& request);

// The line, without its newline, that refuses a request that does not fit.
std::string refusal_text(Placement placement, const ModifyRequest& request, const AreaEntry& mo);

// The lines, each ending in a newline, that report a request written.
std::string setting_text(const ModifyRequest& request);

}  // namespace gorv::tools
