// The client program's private scratch directory and the file-system
// operations it does there, one for each op_mix entry, each doing what its
// name says on a pool of files and directories: Read reads on where the
// last read of that file ended, Read_file reads a file from its start,
// Mmap_read maps a file and reads every page, Random_read reads at a random
// offset; Write, Write_file (the whole file anew), Mmap_write, Random_write
// and Read_modify_write the same for writes; Append appends; Mkdir, Unlink,
// Create, Rename and Copyfile make, remove, rename and copy; Lock takes and
// gives back a write lock; Access, Stat, Chmod, Readdir, Statfs and Pathconf
// make those calls. Custom1 and Custom2 mean nothing to a file system: they
// run as Stat. Where an operation finds nothing to act on (an unlink and
// no file left, a read of more than the file holds), the file is made or
// grown first and the operation says so. The directory is made fresh under
// a parent and removed again with everything in it; nothing else is touched.
#pragma once

#include <array>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <random>

#include "common/constants.h"

namespace gorv::client {

struct PoolFile {
    bool present = false;
    std::int64_t size = 0;
    std::int64_t read_at = 0;   // where the next Read of this file starts
    std::int64_t write_at = 0;  // where the next Write starts
    bool open_to_group = false;  // what Chmod turns over
};

struct ScratchDir {
    ScratchDir() = default;
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    ~ScratchDir();

    std::array<char, PATH_MAX> path{};
    std::array<PoolFile, kClientPoolFiles> files{};
    std::array<bool, kClientPoolDirs> dirs{};
    int next_slot = 0;  // where the next operation on a file goes, taken in turn
    int next_dir = 0;
    std::mt19937_64 random;
    std::byte* buffer = nullptr;  // kClientBufferBytes aligned to kClientDirectAlign, made once
};

// What one operation did.
enum class Outcome {
    kDone,       // what its name says
    kMadeFirst,  // the same, on a file or room that it made first
    kNotDone,    // a system call failed
};

struct Operation {
    int entry = 0;                // the op_mix entry
    std::int64_t size = 0;        // bytes a read or write moves
    bool direct = false;          // open with O_DIRECT (size and offset then rounded to kClientDirectAlign)
    bool osync = false;           // open a write with O_SYNC
    bool commit = false;          // fdatasync after a write
    bool geometric = false;       // the file picked geometrically rather than in turn
    std::int32_t align = 0;       // random offsets a multiple of it when above 0
};

// The bytes an operation's read or write moves: its size, rounded up to
// kClientDirectAlign with O_DIRECT.
std::int64_t transfer_length(const Operation& operation);

// Makes a new directory under parent, its first file and the buffer. False
// (errno set) when one of them cannot be made.
bool open_scratch(const char* parent, int client_id, ScratchDir& scratch);

// Whether a file of the directory opens with O_DIRECT.
bool direct_allowed(ScratchDir& scratch);

Outcome do_operation(ScratchDir& scratch, const Operation& operation);

// Removes every file and directory of the pool and the directory itself.
bool remove_scratch(ScratchDir& scratch);

}  // namespace gorv::client
