// Master registry files as the operator tools read them.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "common/registry.h"
#include "fuzz/quiet_stdout.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::FILE* file = gorv::fuzz::open_bytes(data, size);
    const gorv::MasterRegistry registry = gorv::parse_master_registry(file);
    std::fclose(file);
    (void)registry;
    return 0;
}
