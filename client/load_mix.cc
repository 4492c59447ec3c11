#include "client/load_mix.h"

namespace gorv::client {
namespace {

// The kind that stands for each op_mix entry, in op_mix order.
constexpr OpKind kKindOfEntry[tools::kOpMixEntries] = {
    OpKind::kRead,  OpKind::kRead,  OpKind::kRead,   OpKind::kRead,   OpKind::kWrite, OpKind::kWrite,
    OpKind::kWrite, OpKind::kWrite, OpKind::kWrite,  OpKind::kCreate, OpKind::kUnlink, OpKind::kCreate,
    OpKind::kWrite, OpKind::kStat,  OpKind::kStat,   OpKind::kStat,   OpKind::kStat,  OpKind::kStat,
    OpKind::kCreate, OpKind::kStat, OpKind::kStat,   OpKind::kStat,   OpKind::kStat,  OpKind::kStat};

constexpr int index_of(OpKind kind) { return static_cast<int>(kind); }

}  // namespace

LoadMix default_mix() {
    LoadMix mix;
    mix.weights[index_of(OpKind::kCreate)] = 15;
    mix.weights[index_of(OpKind::kWrite)] = 25;
    mix.weights[index_of(OpKind::kRead)] = 30;
    mix.weights[index_of(OpKind::kStat)] = 20;
    mix.weights[index_of(OpKind::kUnlink)] = 10;
    return mix;
}

LoadMix mix_of(const tools::WorkloadDescription& workload) {
    LoadMix mix;
    std::int64_t total = 0;
    for (int k = 0; k < tools::kOpMixEntries; ++k) {
        const std::int32_t percent = workload.op_mix[k].percent;
        if (percent <= 0 || percent > 100) continue;  // a set nobody checked: ignore what cannot be a share
        mix.weights[index_of(kKindOfEntry[k])] += percent;
        total += percent;
    }
    return total > 0 ? mix : default_mix();
}

OpKind next_op(LoadMix& mix) {
    std::int64_t total = 0;
    int chosen = 0;
    for (int kind = 0; kind < kOpKinds; ++kind) {
        mix.credit[kind] += mix.weights[kind];
        total += mix.weights[kind];
        if (mix.credit[kind] > mix.credit[chosen]) chosen = kind;
    }
    mix.credit[chosen] -= total;
    return static_cast<OpKind>(chosen);
}

}  // namespace gorv::client
