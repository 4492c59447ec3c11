// The master's link state file in service mode (kMasterLinksPath): written
// whole by the master's sender on every change, read by the dashboard and
// the other tools. The first line names the process that started the
// master (its sender); one line per row follows:
//
//   master_pid=<pid>
//   row=<i> host=<name> to_remote=<up|down> from_remote=<up|down> since=<unix seconds> relinks=<count>
//
// since is the time of the row's last change in either direction (the
// master's start before any); relinks counts the links made again after a
// direction's first one. A master that ends in a way it can see (a stop
// signal, a process of it ending) writes every row down before its last
// process ends; one killed outright leaves the file as it was, naming a
// pid that is no longer a process.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gorv {

struct LinkRow {
    std::int32_t row = 0;
    std::string host;
    bool to_remote = false;
    bool from_remote = false;
    std::int64_t since = 0;
    std::int64_t relinks = 0;
};

struct LinkStateFile {
    std::int32_t pid = 0;        // the writing master; 0 when the file names none
    std::vector<LinkRow> rows;   // in the file's order
};

// The writer's lines, appended to text: the head line once, then a line per row.
void append_link_head(std::string& text, std::int32_t pid);
void append_link_row(std::string& text, const LinkRow& row);

// Rows of 0 to kMaxRemotes - 1 with both directions "up" or "down"; any
// other line is skipped. Only bytes of text are looked at.
LinkStateFile parse_link_state(std::string_view text);

// nullopt when the file is not there, cannot be read, or is not a regular
// file of root or this user that only its owner may write (the rules of a
// registry file). At most 64 KiB of it is read.
std::optional<LinkStateFile> read_link_state(const char* path);

// False when the pid the file names is no process: the master that wrote
// it has gone without a last word. A file that names no pid counts as
// written by a running master.
bool writing_master_alive(const LinkStateFile& file);

}  // namespace gorv
