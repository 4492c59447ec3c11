// The client program's private scratch directory and the file-system
// operations it does there: a pool of small files made, written, read,
// looked at and removed. The directory is made fresh under a parent and
// removed again with everything in it; nothing else is ever touched.
#pragma once

#include <array>
#include <climits>
#include <cstddef>

#include "client/load_mix.h"
#include "common/constants.h"

namespace gorv::client {

struct ScratchDir {
    std::array<char, PATH_MAX> path{};
    std::array<bool, kClientPoolFiles> present{};
    int next_slot = 0;                                   // where Create, Write and Read go next
    unsigned writes = 0;                                 // picks the block a write goes to
    std::array<std::byte, kClientTransferSize> block{};  // one transfer's bytes
};

// Makes a new directory under parent and its first file. False (errno set)
// when either cannot be made.
bool open_scratch(const char* parent, int client_id, ScratchDir& scratch);

// One operation of the given kind. False when a system call failed.
bool do_operation(ScratchDir& scratch, OpKind kind);

// Removes every file of the pool and the directory.
bool remove_scratch(ScratchDir& scratch);

}  // namespace gorv::client
