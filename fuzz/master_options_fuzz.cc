// gorv_master's command line.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz/command_line_fuzz.h"
#include "fuzz/quiet_stdout.h"
#include "master/options.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool quiet = gorv::fuzz::silence_stdout();
    (void)quiet;
    gorv::test::CommandLine line("gorv_master", gorv::fuzz::words_of(data, size));
    gorv::master::MasterSettings settings;
    gorv::master::parse_master_options(line.argc(), line.argv(), 4096, settings);
    if (settings.seg_size < 0 || settings.seg_size % 4096 != 0) std::abort();
    if (std::strlen(settings.list_path) > gorv::master::kListPathMax) std::abort();
    return 0;
}
