// Which file-system operation the client program does next. Every entry of
// a workload's op mix is carried out as the nearest of five kinds (reads as
// Read, writes and appends as Write, Mkdir/Create/Copyfile as Create, Unlink
// as Unlink, every other metadata operation as Stat), in the shares the mix
// gives. The choice is deterministic: a smooth weighted round robin, so any
// window of 100 operations holds each kind about its share.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "tools/client_records.h"

namespace gorv::client {

enum class OpKind { kCreate, kWrite, kRead, kStat, kUnlink };
inline constexpr int kOpKinds = 5;

struct LoadMix {
    std::array<std::int32_t, kOpKinds> weights{};  // indexed by OpKind
    std::array<std::int64_t, kOpKinds> credit{};   // round-robin state
};

// The mix used until a workload set arrives.
LoadMix default_mix();

// The mix of one workload; the default mix when its percentages give no
// positive weight at all.
LoadMix mix_of(const tools::WorkloadDescription& workload);

OpKind next_op(LoadMix& mix);

// The smooth weighted round robin itself: adds every weight to its credit,
// takes the index with the most credit and charges it the total. Any
// window of `total` picks holds each index about its weight's share.
int pick_weighted(std::span<const std::int32_t> weights, std::span<std::int64_t> credit);

// The kind that stands for op_mix entry `entry`, for the read and write
// latencies a client reports.
OpKind kind_of_entry(int entry);

// The op_mix entries of a workload as weights for pick_weighted: a share
// that cannot be one (below 0 or above 100) counts 0. All zero when the
// workload gives no share at all.
struct EntryMix {
    std::array<std::int32_t, tools::kOpMixEntries> weights{};
    std::array<std::int64_t, tools::kOpMixEntries> credit{};
};
EntryMix entry_mix_of(const tools::WorkloadDescription& workload);

// The five kinds of `mix` as entries: Create, Write, Read, Stat, Unlink.
EntryMix entry_mix_of(const LoadMix& mix);

}  // namespace gorv::client
