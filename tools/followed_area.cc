#include "tools/followed_area.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include "common/segment_area.h"

namespace gorv::tools {
namespace {

// The id of the live area answering to `name`, or -1: an area marked for
// removal, or one smaller than named, does not count.
int live_area_id(AreaName name) {
    if (name.key == 0 || name.size <= 0) return -1;
    const int id = shmget(static_cast<key_t>(name.key), 0, 0);
    struct shmid_ds status {};
    if (id < 0 || shmctl(id, IPC_STAT, &status) < 0) return -1;
    if ((status.shm_perm.mode & SHM_DEST) != 0) return -1;
    if (status.shm_segsz < static_cast<std::size_t>(name.size)) return -1;
    return id;
}

bool still_held(const FollowedArea& area, AreaName named) {
    if (area.address == nullptr || area.name != named) return false;
    struct shmid_ds status {};
    if (shmctl(area.id, IPC_STAT, &status) < 0 || (status.shm_perm.mode & SHM_DEST) != 0) return false;
    return live_area_id(named) == area.id;
}

}  // namespace

AreaStanding standing_of(std::span<const FollowedArea> held, std::span<const AreaName> named) {
    bool all_held = held.size() == named.size();
    for (std::size_t i = 0; all_held && i < held.size(); ++i) all_held = still_held(held[i], named[i]);
    if (all_held) return AreaStanding::kHeld;
    if (named.empty()) return AreaStanding::kGone;
    for (const AreaName& name : named)
        if (live_area_id(name) < 0) return AreaStanding::kGone;
    return AreaStanding::kReplaced;
}

FollowedArea followed(std::byte* address, AreaName name) {
    return {.address = address, .name = name, .id = address != nullptr ? live_area_id(name) : -1};
}

void release_areas(std::span<FollowedArea> held) {
    for (FollowedArea& area : held) {
        if (area.address != nullptr) shmdt(area.address);
        area = FollowedArea{};
    }
}

bool follow_areas(std::span<FollowedArea> held, std::span<const AreaName> named) {
    release_areas(held);
    if (held.size() != named.size()) return false;
    bool all = true;  // every area is tried, so that each failure prints its line
    for (std::size_t i = 0; i < held.size(); ++i) {
        auto* address = static_cast<std::byte*>(
            acquire_segment_area(static_cast<key_t>(named[i].key), named[i].size, false, kToolAreaOwner));
        held[i] = followed(address, named[i]);
        all = all && address != nullptr && held[i].id >= 0;
    }
    if (!all) release_areas(held);
    return all;
}

}  // namespace gorv::tools
