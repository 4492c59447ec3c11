#include "tools/master_area.h"

#include <cstdio>

#include "common/constants.h"
#include "common/segment_area.h"

namespace gorv::tools {

void print_registry_refusal(const char* path, const char* refusal) {
    if (refusal != nullptr) std::fprintf(stderr, "%s refused: %s\n", path, refusal);
}

MasterArea open_master_area(MasterAreaKind kind, const char* count_format) {
    MasterArea area;
    const char* refusal = nullptr;
    const auto registry = read_master_registry(kMasterRegistryPath, &refusal);
    if (!registry) {
        print_registry_refusal(kMasterRegistryPath, refusal);
        return area;
    }
    area.entry = kind == MasterAreaKind::kMo ? registry->mo : registry->ro;
    std::printf(count_format, area.entry.number_of_segs);
    if (area.entry.key == 0 || area.entry.size == 0) return area;
    area.address = static_cast<std::byte*>(
        acquire_segment_area(static_cast<key_t>(area.entry.key), area.entry.size, false, kToolAreaOwner));
    return area;
}

}  // namespace gorv::tools
