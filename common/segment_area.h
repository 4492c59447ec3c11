// The one routine through which every program creates, attaches or releases
// a System V segment area. An area holds Number_of_segs segments of Seg_size
// bytes, segment i at byte offset i * Seg_size. This routine never writes
// into the area; callers that want it zeroed zero it themselves.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>

namespace gorv {

// Who acquires the area decides the creation mode and what is logged.
struct AreaOwner {
    int shmget_flags;     // IPC_CREAT | 0666 for the daemons, 0666 for the tools
    int log_level;        // level 2 lines need a level of at least 2
    bool reports_attach;  // the master also logs "Attached to shared memory ..."
};

extern const AreaOwner kMasterAreaOwner;
extern const AreaOwner kRemoteAreaOwner;
extern const AreaOwner kToolAreaOwner;

// Returns the attached address, or nullptr after printing "Shmid %d Errno %d"
// or "Attach to shared memory failed". With release set, the area is marked
// for removal once attached: it stays usable until every attached process ends.
void* acquire_segment_area(key_t key, std::int32_t size, bool release, const AreaOwner& owner);

// The -s option of both daemons: the decimal size (leading digits count, no
// digits read as 0) rounded up to a multiple of the page size. nullopt for a
// negative size or one whose message length (Seg_size + 4) would not fit in
// 32 bits. largest_seg_size is the largest size accepted.
std::optional<std::int32_t> page_rounded_seg_size(const char* text, long page);
std::int32_t largest_seg_size(long page);

// The -s option of a daemon whose lines begin with `role`: sets seg_size, or
// prints "<role>: segment size <text> refused: give 0 to <largest> bytes"
// and returns false.
bool take_seg_size_option(const char* role, const char* text, long page, std::int32_t& seg_size);

// A daemon's areas: attached, or failure_line printed and the process ended
// with status 1 after the failure lines of acquire_segment_area.
std::byte* acquire_or_exit(key_t key, std::int32_t size, bool release, const AreaOwner& owner,
                           const char* failure_line);

}  // namespace gorv
