// How the operator tools reach one of the master's areas: through the
// master registry file, attaching only (never creating or removing).
#pragma once

#include <cstddef>

#include "common/registry.h"

namespace gorv::tools {

enum class MasterAreaKind { kMo, kRo };

struct MasterArea {
    std::byte* address = nullptr;  // null when the area cannot be reached
    AreaEntry entry;               // that area's registry line, as read
};

// Reads the registry file, prints count_format with the area's
// Number_of_segs, and attaches the area. A missing registry file prints
// nothing; a refused one prints the refusal line below; a key or size of 0 gives no area; an attach failure prints the
// lines of acquire_segment_area.
// "<path> refused: <reason>" on standard error, for a registry file that
// open_trusted_file refused; nothing when refusal is nullptr.
void print_registry_refusal(const char* path, const char* refusal);

MasterArea open_master_area(MasterAreaKind kind, const char* count_format);

}  // namespace gorv::tools
