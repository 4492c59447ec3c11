#include "client/workload_plan.h"

#include <algorithm>

#include "common/constants.h"

namespace gorv::client {
namespace {

void take_percent(Share& share, std::int32_t percent) { share.percent = std::clamp(percent, 0, 100); }

Bands single_size(std::int32_t size) {
    Bands bands;
    bands.elements[0] = {size, size, 100};
    bands.weights[0] = 100;
    return bands;
}

Bands bands_of(const tools::XferElement (&elements)[tools::kXferElements]) {
    Bands bands;
    bool any = false;
    for (int j = 0; j < tools::kXferElements; ++j) {
        const tools::XferElement& element = elements[j];
        if (element.min_size < 1 || element.max_size < element.min_size) continue;
        if (element.percent <= 0 || element.percent > 100) continue;
        bands.elements[j] = element;
        bands.weights[j] = element.percent;
        any = true;
    }
    return any ? bands : single_size(kClientTransferSize);
}

}  // namespace

WorkloadPlan default_plan() {
    WorkloadPlan plan;
    plan.mix = entry_mix_of(default_mix());
    plan.reads = single_size(kClientTransferSize);
    plan.writes = single_size(kClientTransferSize);
    return plan;
}

WorkloadPlan plan_of(const tools::WorkloadDescription& workload) {
    WorkloadPlan plan = default_plan();
    const EntryMix mix = entry_mix_of(workload);
    if (std::ranges::any_of(mix.weights, [](std::int32_t weight) { return weight > 0; })) plan.mix = mix;
    plan.reads = bands_of(workload.read_xfer);
    plan.writes = bands_of(workload.write_xfer);
    take_percent(plan.commit, workload.percent_write_commit);
    take_percent(plan.osync, workload.percent_osync);
    take_percent(plan.direct, workload.percent_direct);
    take_percent(plan.geometric, workload.percent_geometric);
    plan.align = std::max(workload.align, 0);
    return plan;
}

int next_entry(WorkloadPlan& plan) { return pick_weighted(plan.mix.weights, plan.mix.credit); }

std::int64_t pick_size(Bands& bands, std::mt19937_64& random) {
    const tools::XferElement& band = bands.elements[pick_weighted(bands.weights, bands.credit)];
    std::uniform_int_distribution<std::int64_t> within(band.min_size, band.max_size);
    return within(random);
}

bool take_share(Share& share) {
    share.credit += share.percent;
    if (share.credit < 100) return false;
    share.credit -= 100;
    return true;
}

TransferKind transfer_kind(int entry) {
    switch (entry) {
        case 0: case 1: case 2: case 3:  // Read, Read_file, Mmap_read, Random_read
            return TransferKind::kRead;
        case 4: case 5: case 6: case 7: case 8: case 12:  // the writes, Read_modify_write, Append
            return TransferKind::kWrite;
        default:
            return TransferKind::kNone;
    }
}

}  // namespace gorv::client
