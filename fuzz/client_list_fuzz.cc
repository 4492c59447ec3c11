// Whole client list files: the reader must never store a row past the
// table, a row without its terminating NUL, or more than 255 rows.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "fuzz/quiet_stdout.h"
#include "master/client_list.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool quiet = gorv::fuzz::silence_stdout();
    (void)quiet;
    std::FILE* file = gorv::fuzz::open_bytes(data, size);
    auto table = std::make_unique<gorv::master::ClientTable>();
    gorv::master::read_client_lines(file, *table);
    std::fclose(file);

    if (table->row_count < 0 || table->row_count > gorv::kMaxRemotes) std::abort();
    for (int i = 0; i < table->row_count; ++i) {
        const char* row = table->rows[i];
        if (std::memchr(row, '\0', gorv::master::kRowSize) == nullptr || row[0] == '\0') std::abort();
    }
    return 0;
}
