// The monitor over whatever a registry's RO line and the RO area hold: the
// first 12 bytes are the RO size, client count and Seg_size, the rest the
// area. An accepted area is read in two passes; nothing outside it may be read.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "tools/status_lines.h"

namespace {

const char* fixed_time() { return "Tue Dec  8 23:00:00 2026"; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 12) return 0;
    gorv::AreaEntry ro;
    std::memcpy(&ro.size, data, 4);
    std::memcpy(&ro.number_of_segs, data + 4, 4);
    std::memcpy(&ro.seg_size, data + 8, 4);
    if (ro.size < 0 || ro.size > (1 << 20)) return 0;  // an area the machine could hold
    if (gorv::tools::check_status_area(ro) != gorv::tools::AreaFit::kFits) return 0;

    // Exactly RO size bytes, so that ASan sees any read past the area.
    std::vector<std::byte> area(static_cast<std::size_t>(ro.size));
    if (!area.empty()) std::memcpy(area.data(), data + 12, std::min(area.size(), size - 12));
    static std::FILE* out = std::fopen("/dev/null", "w");
    auto state = std::make_unique<gorv::tools::MonitorState>();
    for (int pass = 0; pass < 2; ++pass)
        gorv::tools::monitor_pass(area, ro.number_of_segs, ro.seg_size, *state, out, fixed_time);
    return 0;
}
