#include "client/load_mix.h"
#include "client/workload_plan.h"

#include <gtest/gtest.h>

#include <array>

namespace gorv::client {
namespace {

std::array<int, kOpKinds> counts_over(LoadMix mix, int operations) {
    std::array<int, kOpKinds> counts{};
    for (int i = 0; i < operations; ++i) ++counts[static_cast<int>(next_op(mix))];
    return counts;
}

// Indexed by OpKind: create, write, read, stat, unlink.
TEST(LoadMix, EveryHundredOperationsFollowTheShares) {
    EXPECT_EQ(counts_over(default_mix(), 100), (std::array<int, kOpKinds>{15, 25, 30, 20, 10}));
    EXPECT_EQ(counts_over(default_mix(), 300), (std::array<int, kOpKinds>{45, 75, 90, 60, 30}));
}

TEST(LoadMix, AWorkloadsEntriesFoldIntoFiveKinds) {
    const auto& workloads = tools::kBuiltinWorkloadSet.workloads;
    EXPECT_EQ(mix_of(workloads[0]).weights, (std::array<std::int32_t, kOpKinds>{3, 23, 28, 42, 4}));
    EXPECT_EQ(counts_over(mix_of(workloads[3]), 100), (std::array<int, kOpKinds>{3, 34, 47, 15, 1}));
}

TEST(LoadMix, AWorkloadWithoutSharesKeepsTheDefaultMix) {
    tools::WorkloadDescription empty{};
    EXPECT_EQ(mix_of(empty).weights, default_mix().weights);
    empty.op_mix[0].percent = -50;
    empty.op_mix[1].percent = 1000;
    EXPECT_EQ(mix_of(empty).weights, default_mix().weights);
}

}  // namespace
}  // namespace gorv::client

namespace gorv::client {
namespace {

TEST(WorkloadPlan, SharesAndBandsTakenInTurnAndBandsThatCannotBeOneLeftOut) {
    tools::WorkloadDescription workload{};
    EXPECT_EQ(plan_of(workload).mix.weights, default_plan().mix.weights);  // no share at all: the default mix
    workload.op_mix[10].percent = 100;
    workload.read_xfer[0] = {0, 10, 50};    // min_size 0: no band
    workload.read_xfer[1] = {20, 10, 50};   // min above max: no band
    workload.read_xfer[2] = {100, 199, 25};
    workload.read_xfer[3] = {7, 7, 75};
    workload.percent_osync = 30;
    WorkloadPlan plan = plan_of(workload);
    std::array<int, tools::kOpMixEntries> entries{};
    int sevens = 0;
    int osync = 0;
    std::mt19937_64 random;
    for (int i = 0; i < 100; ++i) {
        ++entries[next_entry(plan)];
        const std::int64_t size = pick_size(plan.reads, random);
        EXPECT_TRUE(size == 7 || (size >= 100 && size <= 199)) << size;
        sevens += size == 7 ? 1 : 0;
        osync += take_share(plan.osync) ? 1 : 0;
    }
    EXPECT_EQ(entries[10], 100);
    EXPECT_EQ(sevens, 75);
    EXPECT_EQ(osync, 30);
    WorkloadPlan fallback = default_plan();
    EXPECT_EQ(pick_size(fallback.writes, random), 4096);
}

}  // namespace
}  // namespace gorv::client
