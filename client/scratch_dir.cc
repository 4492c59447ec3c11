#include "client/scratch_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace gorv::client {
namespace {

// Room for the directory, "/f" and the slot number.
using FilePath = std::array<char, PATH_MAX + 16>;

FilePath file_path(const ScratchDir& scratch, int slot) {
    FilePath path{};
    std::snprintf(path.data(), path.size(), "%s/f%02d", scratch.path.data(), slot);
    return path;
}

bool write_all(int fd, const std::byte* data, std::size_t length, off_t offset) {
    while (length > 0) {
        const ssize_t written = pwrite(fd, data, length, offset);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        offset += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

bool read_some(int fd, std::byte* data, std::size_t length) {
    for (;;) {
        const ssize_t got = pread(fd, data, length, 0);
        if (got < 0 && errno == EINTR) continue;
        return got >= 0;
    }
}

// Opens a pool file, does one transfer and closes it again. Writes go to
// one of kWriteOffsets blocks in turn, so that no file grows without end.
bool transfer(ScratchDir& scratch, int slot, int flags) {
    constexpr int kWriteOffsets = 16;
    const FilePath path = file_path(scratch, slot);
    const int fd = open(path.data(), flags | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    if ((flags & O_CREAT) != 0) scratch.present[slot] = true;
    bool moved = false;
    if ((flags & O_ACCMODE) == O_RDONLY) {
        moved = read_some(fd, scratch.block.data(), scratch.block.size());
    } else {
        const off_t offset = static_cast<off_t>(scratch.writes++ % kWriteOffsets) * kClientTransferSize;
        moved = write_all(fd, scratch.block.data(), scratch.block.size(), offset);
    }
    const bool closed = close(fd) == 0;
    return moved && closed;
}

int count_present(const ScratchDir& scratch) {
    int count = 0;
    for (const bool present : scratch.present) count += present ? 1 : 0;
    return count;
}

// The next slot, from next_slot on, whose presence is `wanted`; -1 if none.
int find_slot(ScratchDir& scratch, bool wanted) {
    for (int step = 0; step < kClientPoolFiles; ++step) {
        const int slot = (scratch.next_slot + step) % kClientPoolFiles;
        if (scratch.present[slot] == wanted) {
            scratch.next_slot = (slot + 1) % kClientPoolFiles;
            return slot;
        }
    }
    return -1;
}

}  // namespace

bool open_scratch(const char* parent, int client_id, ScratchDir& scratch) {
    const int length = std::snprintf(scratch.path.data(), scratch.path.size(), "%s/ostrela_client_%d_XXXXXX",
                                     parent, client_id);
    if (length < 0 || static_cast<std::size_t>(length) >= scratch.path.size()) {
        errno = ENAMETOOLONG;
        return false;
    }
    if (mkdtemp(scratch.path.data()) == nullptr) return false;
    // Reads always find a file: the pool never loses its last one.
    return transfer(scratch, 0, O_WRONLY | O_CREAT | O_TRUNC);
}

bool do_operation(ScratchDir& scratch, OpKind kind) {
    switch (kind) {
        case OpKind::kCreate: {
            int slot = find_slot(scratch, false);
            if (slot < 0) slot = find_slot(scratch, true);  // pool full: make one afresh
            return transfer(scratch, slot, O_WRONLY | O_CREAT | O_TRUNC);
        }
        case OpKind::kWrite:
            return transfer(scratch, find_slot(scratch, true), O_WRONLY);
        case OpKind::kRead:
            return transfer(scratch, find_slot(scratch, true), O_RDONLY);
        case OpKind::kStat: {
            const FilePath path = file_path(scratch, find_slot(scratch, true));
            struct stat info{};
            return stat(path.data(), &info) == 0;
        }
        case OpKind::kUnlink: {
            if (count_present(scratch) <= 1) return true;  // keep the last file for reads
            const int slot = find_slot(scratch, true);
            scratch.present[slot] = false;
            return unlink(file_path(scratch, slot).data()) == 0;
        }
    }
    return false;
}

bool remove_scratch(ScratchDir& scratch) {
    bool removed = true;
    for (int slot = 0; slot < kClientPoolFiles; ++slot) {
        if (!scratch.present[slot]) continue;
        scratch.present[slot] = false;
        removed = unlink(file_path(scratch, slot).data()) == 0 && removed;
    }
    return rmdir(scratch.path.data()) == 0 && removed;
}

}  // namespace gorv::client
