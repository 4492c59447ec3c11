// What the client program runs, taken from the first workload of the set
// in its ControlRecord: the op mix entry by entry, the transfer size of each
// read and write picked from the bands by their percents (uniform within a
// band), and the shares of writes followed by fdatasync, of writes opened
// with O_SYNC and of reads and writes opened with O_DIRECT. Every share is
// taken in turn, not by chance, so that any 100 picks hold it exactly.
#pragma once

#include <array>
#include <cstdint>
#include <random>

#include "client/load_mix.h"
#include "tools/client_records.h"

namespace gorv::client {

struct Bands {
    std::array<tools::XferElement, tools::kXferElements> elements{};
    std::array<std::int32_t, tools::kXferElements> weights{};
    std::array<std::int64_t, tools::kXferElements> credit{};
};

// `percent` of 100 calls of take_share say yes.
struct Share {
    std::int32_t percent = 0;
    std::int32_t credit = 0;
};

struct WorkloadPlan {
    EntryMix mix;
    Bands reads;
    Bands writes;
    Share commit;     // writes followed by fdatasync
    Share osync;      // writes opened with O_SYNC
    Share direct;     // reads and writes opened with O_DIRECT
    Share geometric;  // operations whose file is picked geometrically (the first files most)
    std::int32_t align = 0;  // random offsets are multiples of it when above 0
};

// The plan until a workload set arrives: the default mix of five kinds, and
// transfers of kClientTransferSize bytes.
WorkloadPlan default_plan();

// The plan of one workload. Values that cannot be a share count 0, bands
// that cannot be one (min_size below 1 or above max_size) are left out; with
// no share in the mix left, the default mix, and with no band left, the
// default size.
WorkloadPlan plan_of(const tools::WorkloadDescription& workload);

// The entry to run next.
int next_entry(WorkloadPlan& plan);

// A transfer size from the bands.
std::int64_t pick_size(Bands& bands, std::mt19937_64& random);

bool take_share(Share& share);

// Which bands an entry's transfers take their size from.
enum class TransferKind { kNone, kRead, kWrite };
TransferKind transfer_kind(int entry);

}  // namespace gorv::client
