#include "tools/master_area.h"

#include <cstdio>

#include "common/constants.h"
#include "common/segment_area.h"

namespace gorv::tools {

MasterArea open_master_area(MasterAreaKind kind, const char* count_format) {
    MasterArea area;
    const auto registry = read_master_registry(kMasterRegistryPath);
    if (!registry) return area;
    area.entry = kind == MasterAreaKind::kMo ? registry->mo : registry->ro;
    std::printf(count_format, area.entry.number_of_segs);
    if (area.entry.key == 0 || area.entry.size == 0) return area;
    area.address = static_cast<std::byte*>(
        acquire_segment_area(static_cast<key_t>(area.entry.key), area.entry.size, false, kToolAreaOwner));
    return area;
}

}  // namespace gorv::tools
