#include "common/link_state.h"

#include <signal.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "common/checked_file.h"
#include "common/constants.h"

namespace gorv {
namespace {

// 255 rows take some 25 KiB; a larger file is cut, never read whole.
constexpr std::size_t kLinkStateMax = std::size_t{64} * 1024;

const char* direction_word(bool up) { return up ? "up" : "down"; }

bool parse_direction(const char* word, bool& up) {
    up = std::strcmp(word, "up") == 0;
    return up || std::strcmp(word, "down") == 0;
}

bool parse_pid(const std::string& line, std::int32_t& pid) {
    int value = 0;
    int end = 0;
    if (std::sscanf(line.c_str(), "master_pid=%d%n", &value, &end) != 1 || value <= 0) return false;
    if (static_cast<std::size_t>(end) != line.size()) return false;
    pid = value;
    return true;
}

bool parse_row(const std::string& line, LinkRow& row) {
    char host[256] = {};
    char to_remote[8] = {};
    char from_remote[8] = {};
    if (std::sscanf(line.c_str(), "row=%d host=%255s to_remote=%7s from_remote=%7s since=%" SCNd64 " relinks=%" SCNd64,
                    &row.row, host, to_remote, from_remote, &row.since, &row.relinks) != 6)
        return false;
    if (row.row < 0 || row.row >= kMaxRemotes) return false;
    if (!parse_direction(to_remote, row.to_remote) || !parse_direction(from_remote, row.from_remote)) return false;
    row.host = host;
    return true;
}

}  // namespace

void append_link_head(std::string& text, std::int32_t pid) {
    text += "master_pid=";
    text += std::to_string(pid);
    text += '\n';
}

void append_link_row(std::string& text, const LinkRow& row) {
    char line[400];
    std::snprintf(line, sizeof line, "row=%d host=%.255s to_remote=%s from_remote=%s since=%lld relinks=%lld\n", row.row,
                  row.host.c_str(), direction_word(row.to_remote), direction_word(row.from_remote),
                  static_cast<long long>(row.since), static_cast<long long>(row.relinks));
    text += line;
}

LinkStateFile parse_link_state(std::string_view text) {
    LinkStateFile file;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string line(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        LinkRow row;
        if (parse_row(line, row)) file.rows.push_back(std::move(row));
        else parse_pid(line, file.pid);
    }
    return file;
}

std::optional<LinkStateFile> read_link_state(const char* path) {
    // Opened as the tools open a registry file: a pipe planted at the path
    // must not stop the reader, nor another user's file stand for the master's.
    std::FILE* file = open_trusted_file(path).stream;
    if (file == nullptr) return std::nullopt;
    std::string text(kLinkStateMax, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), file));
    std::fclose(file);
    return parse_link_state(text);
}

bool writing_master_alive(const LinkStateFile& file) {
    if (file.pid <= 0) return true;
    // A master of another user is a process all the same.
    return kill(file.pid, 0) == 0 || errno != ESRCH;
}

}  // namespace gorv
