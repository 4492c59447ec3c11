#include "client/operations.h"

#include <cstdio>

namespace gorv::client {
namespace {

constexpr int kMmapRead = 2;
constexpr int kMmapWrite = 6;
constexpr int kAppend = 12;
constexpr int kCustom1 = 22;
constexpr int kCustom2 = 23;

}  // namespace

void take_workload(Operations& operations, ScratchDir& scratch, const tools::WorkloadDescription& workload,
                   int client_id) {
    operations.plan = plan_of(workload);
    const WorkloadPlan& plan = operations.plan;
    if (plan.direct.percent > 0 && !operations.direct_checked) {
        operations.direct_checked = true;
        operations.direct_works = direct_allowed(scratch);
        if (!operations.direct_works)
            std::printf("Client %d: %s does not take O_DIRECT: reads and writes run without it\n", client_id,
                        scratch.path.data());
    }
    if ((plan.mix.weights[kCustom1] > 0 || plan.mix.weights[kCustom2] > 0) && !operations.custom_said) {
        operations.custom_said = true;
        std::printf("Client %d: Custom1 and Custom2 mean nothing to a file system: they run as Stat\n", client_id);
    }
    std::fflush(stdout);
}

Ran run_next_operation(Operations& operations, ScratchDir& scratch) {
    WorkloadPlan& plan = operations.plan;
    Operation operation{.entry = next_entry(plan), .align = plan.align};
    const TransferKind kind = transfer_kind(operation.entry);
    if (kind != TransferKind::kNone) {
        operation.size = pick_size(kind == TransferKind::kRead ? plan.reads : plan.writes, scratch.random);
        // Mapped files have no O_DIRECT, and an append lands wherever the file ends.
        const bool buffered = operation.entry == kMmapRead || operation.entry == kMmapWrite || operation.entry == kAppend;
        operation.direct = take_share(plan.direct) && operations.direct_works && !buffered;
    }
    if (kind == TransferKind::kWrite) {
        operation.osync = take_share(plan.osync);
        operation.commit = take_share(plan.commit);
    }
    operation.geometric = take_share(plan.geometric);
    const Outcome outcome = do_operation(scratch, operation);
    count_operation(operations.report, operation, outcome, transfer_length(operation));
    return {kind_of_entry(operation.entry), outcome != Outcome::kNotDone};
}

}  // namespace gorv::client
