// Opening for reading a file that sits where others may create files.
//
// Both routines open without blocking (a FIFO does not hang the caller) and
// give a stream only for a regular file. open_trusted_file is for files a
// program acts on as if a daemon had written them: it does not follow a link
// at the path, and refuses a file writable by group or others or owned by
// neither root nor the effective user.
#pragma once

#include <cstdio>

namespace gorv {

struct CheckedFile {
    std::FILE* stream = nullptr;    // open for reading; the caller closes it
    const char* refusal = nullptr;  // why a file that is there was refused
};
// Neither set: the file could not be opened, and errno tells why.

CheckedFile open_regular_file(const char* path);
CheckedFile open_trusted_file(const char* path);

}  // namespace gorv
