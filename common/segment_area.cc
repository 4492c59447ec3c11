#include "common/segment_area.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "common/constants.h"

namespace gorv {

const AreaOwner kMasterAreaOwner{IPC_CREAT | 0666, 2, true, "Master",
                                  "a release run (-r) given the client list and -s that made it"};
const AreaOwner kRemoteAreaOwner{IPC_CREAT | 0666, 1, false, "Remote",
                                  "a release run (-r) given the -n and -s that made it"};
const AreaOwner kToolAreaOwner{0666, 0, false, nullptr, nullptr};

namespace {

// The area is kept and the run goes on; the caller decides how it ends.
bool mark_for_removal(int id, key_t key) {
    if (shmctl(id, IPC_RMID, nullptr) == 0) return true;
    char what[64];
    std::snprintf(what, sizeof what, "shmctl IPC_RMID of key 0x%lx", static_cast<unsigned long>(key));
    std::perror(what);
    return false;
}

// The size of an existing area with this key, when the caller may see it.
std::optional<size_t> existing_area_size(key_t key) {
    const int id = shmget(key, 0, 0);
    struct shmid_ds status {};
    if (id < 0 || shmctl(id, IPC_STAT, &status) < 0) return std::nullopt;
    return status.shm_segsz;
}

// An area left by a run with a shorter client list or a smaller -s makes
// shmget fail with EINVAL and nothing more; this says what to do.
void report_stranded_area(key_t key, std::int32_t size, const AreaOwner& owner) {
    const auto existing = existing_area_size(key);
    if (!existing || *existing >= static_cast<size_t>(size) || owner.role == nullptr) return;
    const auto shown_key = static_cast<unsigned long>(key);
    std::fprintf(stderr,
                 "%s: an area with key 0x%lx exists with %zu bytes, fewer than the %d needed; "
                 "free it with %s, or with ipcrm -M 0x%lx\n",
                 owner.role, shown_key, *existing, size, owner.way_out, shown_key);
}

}  // namespace

void* acquire_segment_area(key_t key, std::int32_t size, bool release, const AreaOwner& owner,
                           bool* removal_failed) {
    const bool verbose = owner.log_level >= 2;
    const auto shown_key = static_cast<unsigned long>(key);
    if (verbose) std::printf("Trying to get shared memory segment with key %lx\n", shown_key);

    const int id = shmget(key, static_cast<size_t>(size), owner.shmget_flags);
    if (id < 0) {
        std::printf("Shmid %d Errno %d\n", id, errno);
        return nullptr;
    }
    if (verbose) std::printf("Got shared memory with key %lx\n", shown_key);

    void* address = shmat(id, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
        std::puts("Attach to shared memory failed");
        return nullptr;
    }
    if (release && !mark_for_removal(id, key) && removal_failed != nullptr) *removal_failed = true;

    if (verbose && owner.reports_attach) std::printf("Attached to shared memory with key %lx\n", shown_key);
    if (verbose) std::printf("Shared memory key %lx Size = %d\n", shown_key, size);
    return address;
}

std::int32_t largest_seg_size(long page) {
    const std::int64_t limit = INT32_MAX - 4;
    return static_cast<std::int32_t>(limit - limit % page);
}

std::optional<std::int32_t> page_rounded_seg_size(const char* text, long page) {
    const long long size = std::strtoll(text, nullptr, 10);
    if (size < 0 || size > largest_seg_size(page)) return std::nullopt;
    return static_cast<std::int32_t>((page + size - 1) & -page);
}

bool take_seg_size_option(const char* role, const char* text, long page, std::int32_t& seg_size) {
    const auto size = page_rounded_seg_size(text, page);
    if (!size) {
        std::printf("%s: segment size %s refused: give 0 to %d bytes\n", role, text, largest_seg_size(page));
        return false;
    }
    seg_size = *size;
    return true;
}

std::byte* acquire_or_exit(key_t key, std::int32_t size, bool release, const AreaOwner& owner,
                           const char* failure_line, bool* removal_failed) {
    void* area = acquire_segment_area(key, size, release, owner, removal_failed);
    if (area == nullptr) {
        std::puts(failure_line);
        report_stranded_area(key, size, owner);
        std::exit(kExitFailure);
    }
    return static_cast<std::byte*>(area);
}

void finish_release_run(std::span<const ReleasedArea> areas, const char* registry_path) {
    bool released = true;
    for (const ReleasedArea& area : areas) {
        if (area.removal_failed) {
            released = false;
            continue;
        }
        std::printf(area.released_format, area.size, static_cast<unsigned long>(area.key));
    }
    if (registry_path[0] != '\0' && unlink(registry_path) < 0 && errno != ENOENT) {
        std::perror(registry_path);
        released = false;
    }
    std::exit(released ? kExitOk : kExitFailure);
}

}  // namespace gorv
