// ostrela_modify's command line against whatever a registry's MO line holds:
// the first 12 bytes are the MO size, client count and Seg_size, the rest the
// command line. A request the tool accepts must lie inside the client's
// segment and inside the area.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz/command_line_fuzz.h"
#include "fuzz/quiet_stdout.h"
#include "tools/modify_request.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool quiet = gorv::fuzz::silence_stdout();
    (void)quiet;
    if (size < 12) return 0;
    gorv::AreaEntry mo;
    std::memcpy(&mo.size, data, 4);
    std::memcpy(&mo.number_of_segs, data + 4, 4);
    std::memcpy(&mo.seg_size, data + 8, 4);
    gorv::test::CommandLine line("ostrela_modify", gorv::fuzz::words_of(data + 12, size - 12));
    gorv::tools::ModifyRequest request;
    if (gorv::tools::parse_modify_options(line.argc(), line.argv(), request)) return 0;
    if (gorv::tools::place_request(request, mo) != gorv::tools::Placement::kFits) return 0;

    const std::int64_t start = static_cast<std::int64_t>(request.client_id) * mo.seg_size;
    const std::int64_t end = start + gorv::tools::bytes_written(request);
    const bool inside = request.client_id >= 0 && request.client_id < mo.number_of_segs && start >= 0 &&
                        end <= start + mo.seg_size && end <= mo.size;
    if (!inside) std::abort();
    return 0;
}
