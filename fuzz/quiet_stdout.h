// Small helpers shared by the fuzz harnesses.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace gorv::fuzz {

// The code under test prints its messages; the terminal need not see them.
inline bool silence_stdout() {
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, STDOUT_FILENO);
    return true;
}

// The input as a stream; an empty input is an empty file.
inline std::FILE* open_bytes(const std::uint8_t* data, std::size_t size) {
    std::FILE* file = std::tmpfile();
    if (file == nullptr) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
    std::rewind(file);
    return file;
}

}  // namespace gorv::fuzz
