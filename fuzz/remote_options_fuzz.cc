// gorv_remote's command line.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz/command_line_fuzz.h"
#include "fuzz/quiet_stdout.h"
#include "remote/options.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool quiet = gorv::fuzz::silence_stdout();
    (void)quiet;
    gorv::test::CommandLine line("gorv_remote", gorv::fuzz::words_of(data, size));
    gorv::remote::RemoteSettings settings;
    gorv::remote::parse_remote_options(line.argc(), line.argv(), 4096, settings);
    if (settings.seg_size < 0 || settings.seg_size % 4096 != 0) std::abort();
    if (settings.client_id < 0 || settings.client_id > gorv::remote::kMaxClientId) std::abort();
    if (std::strlen(settings.master_host) > gorv::remote::kHostNameMax) std::abort();
    return 0;
}
