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

// The entry that carries out each kind, in OpKind order.
constexpr int kEntryOfKind[kOpKinds] = {11, 4, 0, 15, 10};

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

int pick_weighted(std::span<const std::int32_t> weights, std::span<std::int64_t> credit) {
    std::int64_t total = 0;
    std::size_t chosen = 0;
    for (std::size_t k = 0; k < weights.size() && k < credit.size(); ++k) {
        credit[k] += weights[k];
        total += weights[k];
        if (credit[k] > credit[chosen]) chosen = k;
    }
    credit[chosen] -= total;
    return static_cast<int>(chosen);
}

OpKind next_op(LoadMix& mix) { return static_cast<OpKind>(pick_weighted(mix.weights, mix.credit)); }

OpKind kind_of_entry(int entry) { return kKindOfEntry[entry]; }

EntryMix entry_mix_of(const tools::WorkloadDescription& workload) {
    EntryMix mix;
    for (int k = 0; k < tools::kOpMixEntries; ++k) {
        const std::int32_t percent = workload.op_mix[k].percent;
        mix.weights[k] = percent >= 0 && percent <= 100 ? percent : 0;
    }
    return mix;
}

EntryMix entry_mix_of(const LoadMix& mix) {
    EntryMix entries;
    for (int kind = 0; kind < kOpKinds; ++kind) entries.weights[kEntryOfKind[kind]] += mix.weights[kind];
    return entries;
}

}  // namespace gorv::client
