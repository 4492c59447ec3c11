#include "common/segment_area.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "common/constants.h"

namespace gorv {

const AreaOwner kMasterAreaOwner{IPC_CREAT | 0666, 2, true};
const AreaOwner kRemoteAreaOwner{IPC_CREAT | 0666, 1, false};
const AreaOwner kToolAreaOwner{0666, 0, false};

void* acquire_segment_area(key_t key, std::int32_t size, bool release, const AreaOwner& owner) {
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
    // Not being allowed to remove an area is worth a line; the area still serves.
    if (release && shmctl(id, IPC_RMID, nullptr) < 0) std::perror("shmctl IPC_RMID");

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
                           const char* failure_line) {
    void* area = acquire_segment_area(key, size, release, owner);
    if (area == nullptr) {
        std::puts(failure_line);
        std::exit(kExitFailure);
    }
    return static_cast<std::byte*>(area);
}

}  // namespace gorv
