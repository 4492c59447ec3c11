// The workload file reader against any bytes: it refuses or takes them,
// never crashes, and a set it takes comes back as the same bytes once
// written and read again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "tools/workload_json.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    gorv::tools::WorkloadSet set{};
    if (gorv::tools::workload_set_from_text(text, set)) return 0;
    gorv::tools::WorkloadSet again{};
    if (gorv::tools::workload_set_from_text(gorv::tools::workload_set_text(set), again)) std::abort();
    if (std::memcmp(&set, &again, sizeof set) != 0) std::abort();
    return 0;
}
