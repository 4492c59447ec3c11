// The client program's operations, from the workload it was given to the
// report it prints: which entry runs next, with which size and flags, and
// what came of it. What the file system cannot do as asked is said once.
#pragma once

#include "client/load_mix.h"
#include "client/run_report.h"
#include "client/scratch_dir.h"
#include "client/workload_plan.h"
#include "tools/client_records.h"

namespace gorv::client {

struct Operations {
    WorkloadPlan plan = default_plan();
    RunReport report;
    bool direct_checked = false;
    bool direct_works = false;
    bool custom_said = false;
};

// Runs `workload` from now on. The first time that it asks for O_DIRECT on
// a file system that does not take it, or for Custom1 or Custom2, a line
// on standard output says what runs instead.
void take_workload(Operations& operations, ScratchDir& scratch, const tools::WorkloadDescription& workload,
                   int client_id);

struct Ran {
    OpKind kind;  // for the read and write latencies
    bool done;    // it did what its name says: it counts towards the rate
};

Ran run_next_operation(Operations& operations, ScratchDir& scratch);

}  // namespace gorv::client
