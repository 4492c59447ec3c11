// The client list file: one client host per line, optionally with a count.
//
//   # a comment, only when '#' stands in column 1
//   Clientname=gen1 Instances=2
//   instances=1 CLIENTNAME=gen2
//
// Keywords are found anywhere in a line, in any case, also at the end of a
// longer word; a value runs up to the first blank (at most 255 characters).
// "Instances=" carries over to later lines that do not name it. Lines are
// read in pieces of at most 599 characters. Row i of the table is client i.
#pragma once

#include <cstdint>
#include <cstdio>

#include "common/constants.h"

namespace gorv::master {

inline constexpr int kLineBufferSize = 600;
inline constexpr int kKeywordSize = 255;
inline constexpr int kValueMaxLength = 255;
inline constexpr int kRowSize = 255;

struct KeywordRule {
    std::int32_t optional;         // 0: must stand on every line that is not a comment
    char keyword[kKeywordSize];    // including its '='
    char value[kValueMaxLength + 1];  // last value taken; never reset between lines
};

enum KeywordIndex { kClientname = 0, kInstances = 1, kKeywordCount = 2 };

struct ClientTable {
    KeywordRule rules[kKeywordCount] = {{0, "Clientname=", ""}, {1, "Instances=", ""}};
    char rows[kMaxRemotes][kRowSize] = {};
    std::int32_t row_count = 0;
};

// Reading stops at the first refused line: its messages are printed and
// exit_status says how the master ends. On success exit_status is unused.
struct ClientListResult {
    bool ok;
    int exit_status;
};

// Opens and reads the file; a file that cannot be opened, or is not a
// regular file, prints "Bad client filename > %s <" and asks for exit
// status 0. A host name ending in a carriage return gets a warning on
// standard error naming its rows.
ClientListResult read_client_list(const char* path, ClientTable& table);

// Reads lines from an open stream until its end or a read error.
ClientListResult read_client_lines(std::FILE* stream, ClientTable& table);

// Position of the first case-insensitive match of keyword in line, or nullptr.
// An empty keyword matches at the start of the line.
const char* find_keyword(const char* line, const char* keyword);

}  // namespace gorv::master
