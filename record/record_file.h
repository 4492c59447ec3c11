// The record file: an SQLite database that ostrela_record appends to and
// ostrela_report reads. Its four tables are the interface:
//   runs    one row per run: a recorder start or a master started again
//   status  a client's StatusRecord whenever one of its fields changed
//   control a client's ControlRecord rate, flags and workload names likewise
//   links   a row's link state whenever it changed
// `t` is Unix time in seconds with fractions. A NaN is stored as NULL.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>

namespace gorv::record {

// The statements that make the tables; a file holds a record when its
// tables are exactly these.
extern const char* const kTableStatements[4];

enum class Opened {
    kOpen,
    kInUse,    // another recorder holds the file
    kRefused,  // not an SQLite database, or not one of this schema
    kFailed,   // the file cannot be opened or made; errno or SQLite tells why
};

// Opens a record file. for_writing: made when absent or empty, held with a
// lock for as long as the process keeps it, and written in WAL mode.
// Otherwise read-only. A refused file is left untouched. `why` says why it
// was not opened.
Opened open_record_file(const char* path, bool for_writing, sqlite3*& db, std::string& why);

// A statement prepared once; nullptr after printing SQLite's message.
sqlite3_stmt* prepare(sqlite3* db, const char* sql);

// Runs statements that return no rows; false after printing SQLite's message.
bool execute(sqlite3* db, const char* sql);

}  // namespace gorv::record
