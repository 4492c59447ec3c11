// Which file-system operation the client program does next. Every entry of
// a workload's op mix is carried out as the nearest of five kinds (reads as
// Read, writes and appends as Write, Mkdir/Create/Copyfile as Create, Unlink
// as Unlink, every other metadata operation as Stat), in the shares the mix
// gives. The choice is deterministic: a smooth weighted round robin, so any
// window of 100 operations holds each kind about its share.
#pragma once

#include <array>
#include <cstdint>

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

}  // namespace gorv::client
