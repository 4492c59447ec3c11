// The dashboard's hold on the master's areas: attached through the master
// registry file (the tools' shared routine), and attached afresh whenever
// that file appears, changes or goes, so that a master started later or
// started again with other areas is picked up without a restart.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>

#include "common/registry.h"

namespace gorv::dashboard {

// What tells one registry file from the next: a master that starts writes it anew.
struct RegistryIdentity {
    bool present = false;
    ino_t inode = 0;
    off_t size = 0;
    std::int64_t modified_ns = 0;
    bool operator==(const RegistryIdentity&) const = default;
};

struct MasterAreas {
    RegistryIdentity identity;
    std::byte* ro = nullptr;  // null while not attached
    std::byte* mo = nullptr;  // null while not attached, and always in read-only mode
    AreaEntry ro_entry;
    AreaEntry mo_entry;
    std::string text;  // what the page says about the master
};

RegistryIdentity registry_identity(const char* path);

// Detaches what `areas` holds, then attaches the areas that the registry file
// names now (the MO area only when `with_mo`). True when the RO area is held.
bool attach_master_areas(MasterAreas& areas, const RegistryIdentity& identity, bool with_mo);

// What the page says while the areas are held but the master that wrote the
// link state file (pid) has ended.
std::string master_ended_text(std::int32_t pid);

}  // namespace gorv::dashboard
