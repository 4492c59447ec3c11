#include "client/scratch_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace gorv::client {
namespace {

// Room for the directory, "/f" and the slot number.
using FilePath = std::array<char, PATH_MAX + 16>;

FilePath slot_path(const ScratchDir& scratch, char kind, int slot) {
    FilePath path{};
    std::snprintf(path.data(), path.size(), "%s/%c%02d", scratch.path.data(), kind, slot);
    return path;
}

FilePath file_path(const ScratchDir& scratch, int slot) { return slot_path(scratch, 'f', slot); }

std::int64_t round_up(std::int64_t value, std::int64_t unit) { return (value + unit - 1) / unit * unit; }

// One operation under way: what it was asked, and whether it made its file first.
struct Act {
    ScratchDir& scratch;
    const Operation& operation;
    bool made_first = false;

    Outcome outcome(bool done) const {
        if (!done) return Outcome::kNotDone;
        return made_first ? Outcome::kMadeFirst : Outcome::kDone;
    }
};

bool close_file(int fd) { return close(fd) == 0 || errno == EINTR; }

int open_file(const FilePath& path, int flags, bool direct) {
    for (;;) {
        const int fd = open(path.data(), flags | O_CLOEXEC | (direct ? O_DIRECT : 0), 0644);
        if (fd >= 0 || errno != EINTR) return fd;
    }
}

// Moves `length` bytes at `offset` through the buffer, a piece at a time.
// A read stops early at the end of the file; returns the bytes moved, or -1.
std::int64_t move_bytes(ScratchDir& scratch, int fd, bool write, std::int64_t length, std::int64_t offset) {
    std::int64_t moved = 0;
    while (moved < length) {
        const auto piece = static_cast<std::size_t>(std::min<std::int64_t>(length - moved, kClientBufferBytes));
        const ssize_t done = write ? pwrite(fd, scratch.buffer, piece, offset + moved)
                                   : pread(fd, scratch.buffer, piece, offset + moved);
        if (done < 0 && errno == EINTR) continue;
        if (done < 0) return -1;
        if (done == 0) break;
        moved += done;
    }
    return moved;
}

bool write_bytes(Act& act, int fd, PoolFile& file, std::int64_t length, std::int64_t offset) {
    if (move_bytes(act.scratch, fd, true, length, offset) != length) return false;
    file.size = std::max(file.size, offset + length);
    return !act.operation.commit || fdatasync(fd) == 0;
}

// The next present file, in turn or geometrically; -1 when there is none.
int present_slot(ScratchDir& scratch, bool geometric) {
    if (geometric) {
        int last = -1;
        for (int slot = 0; slot < kClientPoolFiles; ++slot) {
            if (!scratch.files[slot].present) continue;
            last = slot;
            if (scratch.random() % 2 == 0) return slot;
        }
        if (last >= 0) return last;
    }
    for (int step = 0; step < kClientPoolFiles; ++step) {
        const int slot = (scratch.next_slot + step) % kClientPoolFiles;
        if (scratch.files[slot].present) {
            scratch.next_slot = (slot + 1) % kClientPoolFiles;
            return slot;
        }
    }
    return -1;
}

int absent_slot(const ScratchDir& scratch, int from) {
    for (int step = 0; step < kClientPoolFiles; ++step) {
        const int slot = (from + step) % kClientPoolFiles;
        if (!scratch.files[slot].present) return slot;
    }
    return -1;
}

bool make_file(ScratchDir& scratch, int slot) {
    const int fd = open_file(file_path(scratch, slot), O_WRONLY | O_CREAT | O_EXCL, false);
    if (fd < 0) return false;
    scratch.files[slot] = PoolFile{.present = true};
    return close_file(fd);
}

bool remove_file(ScratchDir& scratch, int slot) {
    scratch.files[slot].present = false;
    return unlink(file_path(scratch, slot).data()) == 0;
}

// A file to act on: one that is there, or else one made first. -1 when none can be made.
int some_file(Act& act) {
    const int slot = present_slot(act.scratch, act.operation.geometric);
    if (slot >= 0) return slot;
    const int made = absent_slot(act.scratch, 0);
    if (!make_file(act.scratch, made)) return -1;
    act.made_first = true;
    return made;
}

// Grows the file to `length` bytes when it is shorter, so that a read finds them.
bool grow(Act& act, int fd, PoolFile& file, std::int64_t length) {
    if (file.size >= length) return true;
    act.made_first = true;
    const std::int64_t from = act.operation.direct ? file.size / kClientDirectAlign * kClientDirectAlign : file.size;
    if (move_bytes(act.scratch, fd, true, length - from, from) != length - from) return false;
    file.size = length;
    return true;
}

std::int64_t random_offset(Act& act, std::int64_t room) {
    if (room <= 0) return 0;
    std::int64_t unit = std::max<std::int64_t>(act.operation.align, 1);
    if (act.operation.direct) unit = round_up(unit, kClientDirectAlign);
    std::uniform_int_distribution<std::int64_t> pick(0, room / unit);
    return pick(act.scratch.random) * unit;
}

enum class Where { kOnward, kStart, kRandom };

// Opens a file of the pool and does one read or write of the operation's size.
bool transfer(Act& act, bool write, Where where, int extra_flags = 0) {
    const Operation& operation = act.operation;
    const int slot = some_file(act);
    if (slot < 0) return false;
    PoolFile& file = act.scratch.files[slot];
    const std::int64_t length = transfer_length(operation);
    int flags = (write ? O_WRONLY : O_RDWR) | extra_flags;
    if (write && operation.osync) flags |= O_SYNC;
    const int fd = open_file(file_path(act.scratch, slot), flags, operation.direct);
    if (fd < 0) return false;
    if ((extra_flags & O_TRUNC) != 0) file.size = 0;
    std::int64_t offset = 0;
    if (where == Where::kRandom) offset = random_offset(act, std::max(file.size, length) - length);
    if (where == Where::kOnward) {
        // Writes go on to the span, reads to the end of the file, then start again.
        std::int64_t& at = write ? file.write_at : file.read_at;
        if (at + length > std::max(write ? kClientFileSpan : file.size, length)) at = 0;
        if (operation.direct) at = at / kClientDirectAlign * kClientDirectAlign;
        offset = at;
        at += length;
    }
    bool moved = false;
    if (write) {
        moved = write_bytes(act, fd, file, length, offset);
    } else {
        moved = grow(act, fd, file, offset + length) &&
                move_bytes(act.scratch, fd, false, length, offset) == length;
    }
    return close_file(fd) && moved;
}

bool append(Act& act) {
    const int slot = some_file(act);
    if (slot < 0) return false;
    PoolFile& file = act.scratch.files[slot];
    // A file that has grown past the span starts again, so that none grows without end.
    const bool restart = file.size + act.operation.size > std::max(kClientFileSpan, act.operation.size);
    const int flags = O_WRONLY | O_APPEND | (restart ? O_TRUNC : 0) | (act.operation.osync ? O_SYNC : 0);
    const int fd = open_file(file_path(act.scratch, slot), flags, false);
    if (fd < 0) return false;
    if (restart) file.size = 0;
    const bool written = write_bytes(act, fd, file, act.operation.size, file.size);
    return close_file(fd) && written;
}

bool read_modify_write(Act& act) {
    const int slot = some_file(act);
    if (slot < 0) return false;
    PoolFile& file = act.scratch.files[slot];
    const Operation& operation = act.operation;
    const std::int64_t length = transfer_length(operation);
    const int fd = open_file(file_path(act.scratch, slot), O_RDWR | (operation.osync ? O_SYNC : 0), operation.direct);
    if (fd < 0) return false;
    const std::int64_t offset = random_offset(act, std::max(file.size, length) - length);
    const bool done = grow(act, fd, file, offset + length) &&
                      move_bytes(act.scratch, fd, false, length, offset) == length &&
                      write_bytes(act, fd, file, length, offset);
    return close_file(fd) && done;
}

// Maps the first `size` bytes of a file and reads or writes every page.
bool mapped(Act& act, bool write) {
    const int slot = some_file(act);
    if (slot < 0) return false;
    PoolFile& file = act.scratch.files[slot];
    const std::int64_t length = std::max<std::int64_t>(act.operation.size, 1);
    const int fd = open_file(file_path(act.scratch, slot), O_RDWR, false);
    if (fd < 0) return false;
    bool done = grow(act, fd, file, length);
    void* map = done ? mmap(nullptr, static_cast<std::size_t>(length), PROT_READ | (write ? PROT_WRITE : 0),
                            MAP_SHARED, fd, 0)
                     : MAP_FAILED;
    done = map != MAP_FAILED;
    if (done) {
        volatile auto* bytes = static_cast<unsigned char*>(map);
        const long page = sysconf(_SC_PAGESIZE);
        unsigned char sum = 0;
        for (std::int64_t at = 0; at < length; at += page) {
            if (write) bytes[at] = static_cast<unsigned char>(at);
            sum = static_cast<unsigned char>(sum + bytes[at]);
        }
        (void)sum;
        if (write && act.operation.commit) done = msync(map, static_cast<std::size_t>(length), MS_SYNC) == 0;
        done = munmap(map, static_cast<std::size_t>(length)) == 0 && done;
    }
    return close_file(fd) && done;
}

bool make_dir(Act& act) {
    ScratchDir& scratch = act.scratch;
    const int slot = scratch.next_dir;
    scratch.next_dir = (slot + 1) % kClientPoolDirs;
    const FilePath path = slot_path(scratch, 'd', slot);
    if (scratch.dirs[slot]) {  // every directory made: room is made first
        scratch.dirs[slot] = false;
        if (rmdir(path.data()) != 0) return false;
        act.made_first = true;
    }
    if (mkdir(path.data(), 0755) != 0) return false;
    scratch.dirs[slot] = true;
    return true;
}

bool create(Act& act) {
    ScratchDir& scratch = act.scratch;
    int slot = absent_slot(scratch, scratch.next_slot);
    if (slot < 0) {  // the pool is full: room is made first
        slot = scratch.next_slot;
        if (!remove_file(scratch, slot)) return false;
        act.made_first = true;
    }
    scratch.next_slot = (slot + 1) % kClientPoolFiles;
    return make_file(scratch, slot);
}

bool remove(Act& act) {
    const int slot = some_file(act);
    return slot >= 0 && remove_file(act.scratch, slot);
}

bool lock(Act& act) {
    const int slot = some_file(act);
    if (slot < 0) return false;
    const int fd = open_file(file_path(act.scratch, slot), O_RDWR, false);
    if (fd < 0) return false;
    struct flock range{};
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    bool done = fcntl(fd, F_SETLK, &range) == 0;
    range.l_type = F_UNLCK;
    done = fcntl(fd, F_SETLK, &range) == 0 && done;
    return close_file(fd) && done;
}

bool change_mode(Act& act) {
    const int slot = some_file(act);
    if (slot < 0) return false;
    PoolFile& file = act.scratch.files[slot];
    file.open_to_group = !file.open_to_group;
    return chmod(file_path(act.scratch, slot).data(), file.open_to_group ? 0664 : 0644) == 0;
}

bool read_dir(Act& act) {
    DIR* dir = opendir(act.scratch.path.data());
    if (dir == nullptr) return false;
    errno = 0;
    while (readdir(dir) != nullptr) {
    }
    const bool done = errno == 0;
    return closedir(dir) == 0 && done;
}

bool copy_file(Act& act) {
    ScratchDir& scratch = act.scratch;
    const int from = some_file(act);
    if (from < 0) return false;
    int to = absent_slot(scratch, from + 1);
    if (to < 0) to = (from + 1) % kClientPoolFiles;
    const int in = open_file(file_path(scratch, from), O_RDONLY, false);
    if (in < 0) return false;
    const int out = open_file(file_path(scratch, to), O_WRONLY | O_CREAT | O_TRUNC, false);
    if (out < 0) {
        close_file(in);
        return false;
    }
    scratch.files[to] = PoolFile{.present = true};
    bool done = true;
    for (std::int64_t at = 0; done;) {
        const std::int64_t got = move_bytes(scratch, in, false, kClientBufferBytes, at);
        done = got >= 0 && move_bytes(scratch, out, true, got, at) == got;
        if (got <= 0) break;
        at += got;
        scratch.files[to].size = at;
    }
    const bool closed = close_file(in);
    return close_file(out) && closed && done;
}

bool rename_file(Act& act) {
    ScratchDir& scratch = act.scratch;
    const int from = some_file(act);
    if (from < 0) return false;
    int to = absent_slot(scratch, from + 1);
    if (to < 0) to = (from + 1) % kClientPoolFiles;  // a full pool: the rename replaces a file
    if (rename(file_path(scratch, from).data(), file_path(scratch, to).data()) != 0) return false;
    scratch.files[to] = scratch.files[from];
    scratch.files[from] = PoolFile{};
    return true;
}

bool look(Act& act, int entry) {
    const int slot = some_file(act);
    if (slot < 0) return false;
    const FilePath path = file_path(act.scratch, slot);
    if (entry == 14) return access(path.data(), R_OK | W_OK) == 0;
    struct stat info{};
    return stat(path.data(), &info) == 0;
}

}  // namespace

std::int64_t transfer_length(const Operation& operation) {
    return operation.direct ? round_up(operation.size, kClientDirectAlign) : operation.size;
}

ScratchDir::~ScratchDir() { std::free(buffer); }

bool open_scratch(const char* parent, int client_id, ScratchDir& scratch) {
    const int length = std::snprintf(scratch.path.data(), scratch.path.size(), "%s/ostrela_client_%d_XXXXXX",
                                     parent, client_id);
    if (length < 0 || static_cast<std::size_t>(length) >= scratch.path.size()) {
        errno = ENAMETOOLONG;
        return false;
    }
    if (scratch.buffer == nullptr) {
        void* block = nullptr;
        if (const int failed = posix_memalign(&block, static_cast<std::size_t>(kClientDirectAlign), kClientBufferBytes)) {
            errno = failed;
            return false;
        }
        scratch.buffer = static_cast<std::byte*>(block);
        std::memset(block, 'o', kClientBufferBytes);
    }
    if (mkdtemp(scratch.path.data()) == nullptr) return false;
    return make_file(scratch, 0);
}

bool direct_allowed(ScratchDir& scratch) {
    Operation probe{.entry = 15};
    Act act{scratch, probe};
    const int slot = some_file(act);
    if (slot < 0) return false;
    const int fd = open_file(file_path(scratch, slot), O_RDONLY, true);
    return fd >= 0 && close_file(fd);
}

Outcome do_operation(ScratchDir& scratch, const Operation& operation) {
    Act act{scratch, operation};
    switch (operation.entry) {
        case 0: return act.outcome(transfer(act, false, Where::kOnward));
        case 1: return act.outcome(transfer(act, false, Where::kStart));
        case 2: return act.outcome(mapped(act, false));
        case 3: return act.outcome(transfer(act, false, Where::kRandom));
        case 4: return act.outcome(transfer(act, true, Where::kOnward));
        case 5: return act.outcome(transfer(act, true, Where::kStart, O_TRUNC));
        case 6: return act.outcome(mapped(act, true));
        case 7: return act.outcome(transfer(act, true, Where::kRandom));
        case 8: return act.outcome(read_modify_write(act));
        case 9: return act.outcome(make_dir(act));
        case 10: return act.outcome(remove(act));
        case 11: return act.outcome(create(act));
        case 12: return act.outcome(append(act));
        case 13: return act.outcome(lock(act));
        case 16: return act.outcome(change_mode(act));
        case 17: return act.outcome(read_dir(act));
        case 18: return act.outcome(copy_file(act));
        case 19: return act.outcome(rename_file(act));
        case 20: {
            struct statvfs info{};
            return act.outcome(statvfs(scratch.path.data(), &info) == 0);
        }
        case 21:
            errno = 0;
            return act.outcome(pathconf(scratch.path.data(), _PC_NAME_MAX) >= 0 || errno == 0);
        default:  // Access, Stat, and Custom1 and Custom2 as Stat
            return act.outcome(look(act, operation.entry));
    }
}

bool remove_scratch(ScratchDir& scratch) {
    bool removed = true;
    for (int slot = 0; slot < kClientPoolFiles; ++slot)
        if (scratch.files[slot].present) removed = remove_file(scratch, slot) && removed;
    for (int slot = 0; slot < kClientPoolDirs; ++slot) {
        if (!scratch.dirs[slot]) continue;
        scratch.dirs[slot] = false;
        removed = rmdir(slot_path(scratch, 'd', slot).data()) == 0 && removed;
    }
    return rmdir(scratch.path.data()) == 0 && removed;
}

}  // namespace gorv::client
