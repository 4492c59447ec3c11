#include "common/registry.h"

#include <cerrno>
#include <string_view>

#include "common/checked_file.h"
#include "common/replace_file.h"

namespace gorv {
namespace {

// Both files are a few lines of text: far less than this.
constexpr int kRegistryTextMax = 256;

bool replace_with(const char* path, const char* text, int length) {
    if (length < 0 || length >= kRegistryTextMax) {
        errno = EOVERFLOW;
        return false;
    }
    return replace_file(path, std::string_view(text, static_cast<size_t>(length)));
}

// A stream of the file when it may be trusted; nullptr otherwise, with the
// refusal passed on when the caller asked for it.
std::FILE* open_registry(const char* path, const char** refusal) {
    const CheckedFile checked = open_trusted_file(path);
    if (refusal != nullptr) *refusal = checked.refusal;
    return checked.stream;
}

}  // namespace

bool write_master_registry(const char* path, const MasterRegistry& registry) {
    const AreaEntry& mo = registry.mo;
    const AreaEntry& ro = registry.ro;
    char text[kRegistryTextMax];
    const int length = std::snprintf(
        text, sizeof text,
        "GORV_MO_key 0x%lx GORV_MO_size %d Number_of_segs %d Seg_size %d\n"
        "GORV_RO_key 0x%lx GORV_RO_size %d Number_of_segs %d Seg_size %d\n",
        static_cast<unsigned long>(mo.key), mo.size, mo.number_of_segs, mo.seg_size,
        static_cast<unsigned long>(ro.key), ro.size, ro.number_of_segs, ro.seg_size);
    return replace_with(path, text, length);
}

bool write_client_registry(const char* path, std::uint32_t mo_key, std::uint32_t ro_key, std::int32_t area_size) {
    char text[kRegistryTextMax];
    const int length = std::snprintf(text, sizeof text,
                                     "GORV_MO_key 0x%lx GORV_MO_size %d \nGORV_RO_key 0x%lx GORV_RO_size %d\n",
                                     static_cast<unsigned long>(mo_key), area_size,
                                     static_cast<unsigned long>(ro_key), area_size);
    return replace_with(path, text, length);
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

std::optional<MasterRegistry> read_master_registry(const char* path, const char** refusal) {
    std::FILE* file = open_registry(path, refusal);
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

std::optional<ClientRegistry> read_client_registry(const char* path, const char** refusal) {
    std::FILE* file = open_registry(path, refusal);
    if (file == nullptr) return std::nullopt;
    const ClientRegistry registry = parse_client_registry(file);
    std::fclose(file);
    return registry;
}

}  // namespace gorv
