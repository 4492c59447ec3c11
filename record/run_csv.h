// A run's status, control and links rows as CSV files (RFC 4180: a header
// line of column names, CRLF line ends, a field holding a comma, a quote or
// a line end quoted with its quotes doubled; NULL as an empty field).
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <cstdio>
#include <string_view>

namespace gorv::record {

// One field, quoted when it must be.
void write_csv_field(std::FILE* out, std::string_view field);

// Writes DIR/status.csv, DIR/control.csv and DIR/links.csv; false after
// perror or SQLite's message.
bool write_run_csv(sqlite3* db, std::int64_t run, const char* dir);

}  // namespace gorv::record
