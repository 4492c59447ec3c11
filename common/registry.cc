#include "common/registry.h"

namespace gorv {
namespace {

// fclose flushes: a write error may only show there.
bool finish(std::FILE* file, bool written) {
    const bool closed = std::fclose(file) == 0;
    return written && closed;
}

}  // namespace

bool write_master_registry(const char* path, const MasterRegistry& registry) {
    std::FILE* file = std::fopen(path, "w");
    if (file == nullptr) return false;
    const AreaEntry& mo = registry.mo;
    const AreaEntry& ro = registry.ro;
    const bool written =
        std::fprintf(file, "GORV_MO_key 0x%lx GORV_MO_size %d Number_of_segs %d Seg_size %d\n",
                     static_cast<unsigned long>(mo.key), mo.size, mo.number_of_segs, mo.seg_size) > 0 &&
        std::fprintf(file, "GORV_RO_key 0x%lx GORV_RO_size %d Number_of_segs %d Seg_size %d\n",
                     static_cast<unsigned long>(ro.key), ro.size, ro.number_of_segs, ro.seg_size) > 0;
    return finish(file, written);
}

bool write_client_registry(const char* path, std::uint32_t mo_key, std::uint32_t ro_key, std::int32_t area_size) {
    std::FILE* file = std::fopen(path, "w");
    if (file == nullptr) return false;
    const bool written = std::fprintf(file, "GORV_MO_key 0x%lx GORV_MO_size %d \nGORV_RO_key 0x%lx GORV_RO_size %d\n",
                                      static_cast<unsigned long>(mo_key), area_size,
                                      static_cast<unsigned long>(ro_key), area_size) > 0;
    return finish(file, written);
}

MasterRegistry parse_master_registry(std::FILE* stream) {
    MasterRegistry registry;
    AreaEntry& mo = registry.mo;
    AreaEntry& ro = registry.ro;
    // A pattern that stops matching leaves the rest of its line unread and
    // its remaining fields at 0; the RO line is still tried from there.
    std::fscanf(stream, "GORV_MO_key %x GORV_MO_size %d Number_of_segs %d Seg_size %d\n", &mo.key, &mo.size,
                &mo.number_of_segs, &mo.seg_size);
    std::fscanf(stream, "GORV_RO_key %x GORV_RO_size %d Number_of_segs %d Seg_size %d\n", &ro.key, &ro.size,
                &ro.number_of_segs, &ro.seg_size);
    return registry;
}

std::optional<MasterRegistry> read_master_registry(const char* path) {
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr) return std::nullopt;
    const MasterRegistry registry = parse_master_registry(file);
    std::fclose(file);
    return registry;
}

ClientRegistry parse_client_registry(std::FILE* stream) {
    ClientRegistry registry;
    std::fscanf(stream, "GORV_MO_key %x GORV_MO_size %d \nGORV_RO_key %x GORV_RO_size %d\n", &registry.mo_key,
                &registry.mo_size, &registry.ro_key, &registry.ro_size);
    return registry;
}

std::optional<ClientRegistry> read_client_registry(const char* path) {
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr) return std::nullopt;
    const ClientRegistry registry = parse_client_registry(file);
    std::fclose(file);
    return registry;
}

}  // namespace gorv
