// Registry files: short text files under /tmp that tell other programs on
// the host which keys and sizes a daemon's areas have.
//
// The master registry holds exactly two lines:
//   GORV_MO_key 0x3141592 GORV_MO_size 8192 Number_of_segs 2 Seg_size 4096
//   GORV_RO_key 0x3141593 GORV_RO_size 8192 Number_of_segs 2 Seg_size 4096
// A client registry holds the MO and RO keys and sizes of one remote, its
// first line ending in a blank before the newline.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>

namespace gorv {

struct AreaEntry {
    std::uint32_t key = 0;
    std::int32_t size = 0;
    std::int32_t number_of_segs = 0;
    std::int32_t seg_size = 0;
};

struct MasterRegistry {
    AreaEntry mo;
    AreaEntry ro;
};

// A client registry as the client program reads it.
struct ClientRegistry {
    std::uint32_t mo_key = 0;
    std::int32_t mo_size = 0;
    std::uint32_t ro_key = 0;
    std::int32_t ro_size = 0;
};

// Each writer replaces the file whole (see replace_file), so that a link or
// a FIFO planted at the path is never written through. It returns false
// when the file cannot be created, written or put in place; errno then
// tells why.
bool write_master_registry(const char* path, const MasterRegistry& registry);
bool write_client_registry(const char* path, std::uint32_t mo_key, std::uint32_t ro_key, std::int32_t area_size);

// Reads the two lines from a stream; nothing is checked, and a number that
// cannot be read stays 0.
MasterRegistry parse_master_registry(std::FILE* stream);

// nullopt when the file cannot be opened or is refused as one a daemon did
// not write (see open_trusted_file); refusal, when given, then holds the
// reason or nullptr.
std::optional<MasterRegistry> read_master_registry(const char* path, const char** refusal = nullptr);

// As the master registry: nothing checked, unread numbers stay 0.
ClientRegistry parse_client_registry(std::FILE* stream);
std::optional<ClientRegistry> read_client_registry(const char* path, const char** refusal = nullptr);

}  // namespace gorv
