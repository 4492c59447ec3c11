// What the client program ran, for the report it prints when it ends:
// each op_mix entry's operations and what came of them, and the sizes its
// reads and writes moved, by powers of two.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>

#include "client/scratch_dir.h"
#include "client/workload_plan.h"
#include "tools/client_records.h"

namespace gorv::client {

struct EntryCounts {
    std::int64_t run = 0;
    std::int64_t done = 0;        // did what its name says
    std::int64_t made_first = 0;  // ... on a file or room it made first (counted in done too)
    std::int64_t not_done = 0;    // a system call failed
};

// Size bucket b holds transfers of 2^b to 2^(b+1) - 1 bytes.
inline constexpr int kSizeBuckets = 63;

struct RunReport {
    std::array<EntryCounts, tools::kOpMixEntries> entries{};
    std::array<std::int64_t, kSizeBuckets> read_sizes{};
    std::array<std::int64_t, kSizeBuckets> write_sizes{};
};

// Counts one operation; `moved` is the size its transfer moved, if it had one.
void count_operation(RunReport& report, const Operation& operation, Outcome outcome, std::int64_t moved);

// The report, after everything the client printed before:
//   Client 3 ran 2000 operations, 2000 of them done:
//     Operation            Run   Share     Done  Made first  Not done
//     Read                1400   70.0%     1400           1         0
//   Client 3 transfer sizes:
//     Read   65536 to 131071 bytes                1400  100.0%
void print_run_report(std::FILE* out, int client_id, const RunReport& report);

}  // namespace gorv::client
