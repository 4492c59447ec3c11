// Replacing a small file whole at a path in a directory others may write to.
//
// replace_file writes `contents` to a new file it creates exclusively beside
// `path` (never following a link, a fresh name in the same directory), gives
// it mode 0644 whatever the umask, and renames it over `path`. Whatever stood
// at `path` (a file, a link, a FIFO) is replaced, never opened or written
// through, and a reader sees either the old file or the whole new one.
#pragma once

#include <string_view>

namespace gorv {

// false when any step fails; errno then tells why, and no temporary file is
// left behind.
bool replace_file(const char* path, std::string_view contents);

}  // namespace gorv
