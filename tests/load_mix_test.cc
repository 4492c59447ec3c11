#include "client/load_mix.h"

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
