// The one routine through which every program creates, attaches or releases
// a System V segment area. An area holds Number_of_segs segments of Seg_size
// bytes, segment i at byte offset i * Seg_size. This routine never writes
// into the area; callers that want it zeroed zero it themselves.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace gorv {

// Who acquires the area decides the creation mode and what is logged.
struct AreaOwner {
    int shmget_flags;     // IPC_CREAT | 0666 for the daemons, 0666 for the tools
    int log_level;        // level 2 lines need a level of at least 2
    bool reports_attach;  // the master also logs "Attached to shared memory ..."
    const char* role;     // the daemons' line prefix; nullptr for the tools
    const char* way_out;  // how the daemon's operator frees an area too small for it
};

extern const AreaOwner kMasterAreaOwner;
extern const AreaOwner kRemoteAreaOwner;
extern const AreaOwner kToolAreaOwner;

// Returns the attached address, or nullptr after printing "Shmid %d Errno %d"
// or "Attach to shared memory failed". With release set, the area is marked
// for removal once attached: it stays usable until every attached process
// ends. When marking is refused, perror names the key and *removal_failed
// (when given) is set; the area is still returned.
void* acquire_segment_area(key_t key, std::int32_t size, bool release, const AreaOwner& owner,
                           bool* removal_failed = nullptr);

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
// with status 1 after the failure lines of acquire_segment_area. When an
// area with the key exists but is smaller than size, a line on standard
// error names the key, both sizes and owner.way_out.
std::byte* acquire_or_exit(key_t key, std::int32_t size, bool release, const AreaOwner& owner,
                           const char* failure_line, bool* removal_failed = nullptr);

// One area of a daemon's release run, with its "released" line: a format
// taking the size (int) and the key (unsigned long).
struct ReleasedArea {
    const char* released_format;
    std::int32_t size;
    key_t key;
    bool removal_failed;
};

// The end of a release run: the released line of every area that was
// marked for removal, then the registry file removed (not when its path is
// empty). Ends the process with status 0, or 1 when an area was not marked
// or the file could not be removed (perror names it; a file that is not
// there is no failure).
[[noreturn]] void finish_release_run(std::span<const ReleasedArea> areas, const char* registry_path);

}  // namespace gorv
