// Areas that a program keeps following after it attached them: whether the
// area it holds is still the one its registry names (the same System V id
// answers to the key, and nobody marked it for removal), and attaching the
// one that took its place after a release and a new start of its daemon.
//
// A daemon that starts again without a release run attaches the same areas,
// so its programs stay where they are; a release run marks the areas for
// removal (their key then answers no more) and the next start makes new ones.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace gorv::tools {

// An area as a registry names it; a key or size of 0 names none.
struct AreaName {
    std::uint32_t key = 0;
    std::int32_t size = 0;
    bool operator==(const AreaName&) const = default;
};

// An attached area and the System V id it had when it was attached.
struct FollowedArea {
    std::byte* address = nullptr;  // null while nothing is held
    AreaName name;
    int id = -1;
};

enum class AreaStanding {
    kHeld,      // still the area the registry names, not marked for removal
    kReplaced,  // another area answers to what the registry names now
    kGone,      // neither: no area to attach yet
};

// Where the held areas stand against what the registry names now (`named`,
// one name per area; an empty span when the registry cannot be read). Held
// while every area is; replaced when one is not and every named area can be
// attached; gone otherwise. Prints nothing.
AreaStanding standing_of(std::span<const FollowedArea> held, std::span<const AreaName> named);

// Detaches whatever `held` holds, then attaches every named area with the
// tools' attach-only routine (the failure lines of each printed). False,
// with nothing held, when one cannot be attached.
bool follow_areas(std::span<FollowedArea> held, std::span<const AreaName> named);

// Keeps an area already attached through another routine: notes its id.
FollowedArea followed(std::byte* address, AreaName name);

void release_areas(std::span<FollowedArea> held);

}  // namespace gorv::tools
