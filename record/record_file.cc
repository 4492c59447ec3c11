#include "record/record_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace gorv::record {

const char* const kTableStatements[4] = {
    "CREATE TABLE runs   (run INTEGER PRIMARY KEY, started REAL NOT NULL, ended REAL,\n"
    "                     clients INTEGER NOT NULL, seg_size INTEGER NOT NULL)",
    "CREATE TABLE status (run INTEGER NOT NULL, t REAL NOT NULL, client INTEGER NOT NULL,\n"
    "                     phase INTEGER NOT NULL, req_op_rate REAL, cur_op_rate REAL,\n"
    "                     run_time REAL, rt REAL, wt REAL)",
    "CREATE TABLE control(run INTEGER NOT NULL, t REAL NOT NULL, client INTEGER NOT NULL,\n"
    "                     op_rate REAL, op_rate_changed INTEGER NOT NULL,\n"
    "                     workload_changed INTEGER NOT NULL, workload_names TEXT)",
    "CREATE TABLE links  (run INTEGER NOT NULL, t REAL NOT NULL, client INTEGER NOT NULL,\n"
    "                     to_remote TEXT, from_remote TEXT)",
};

namespace {

constexpr char kIndexes[] =
    "CREATE INDEX IF NOT EXISTS status_of_run ON status(run, client, t);"
    "CREATE INDEX IF NOT EXISTS control_of_run ON control(run, client, t);"
    "CREATE INDEX IF NOT EXISTS links_of_run ON links(run, client, t);";

// The lock that keeps a second recorder off the file: flock, which SQLite's
// own byte-range locks never meet, so readers go on reading meanwhile. The
// descriptor stays open until the process ends: closing a descriptor of the
// file would drop SQLite's locks on it.
Opened lock_for_recording(const char* path, std::string& why) {
    const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        why = std::strerror(errno);
        return Opened::kFailed;
    }
    int locked;
    while ((locked = flock(fd, LOCK_EX | LOCK_NB)) < 0 && errno == EINTR) {
    }
    if (locked == 0) return Opened::kOpen;
    const int error = errno;
    close(fd);
    why = error == EWOULDBLOCK ? "in use by another recorder" : std::strerror(error);
    return error == EWOULDBLOCK ? Opened::kInUse : Opened::kFailed;
}

// Empty (a new file), exactly this schema, or refused; reads only.
Opened check_schema(sqlite3* db, bool& empty, std::string& why) {
    sqlite3_stmt* tables = nullptr;
    const int prepared = sqlite3_prepare_v2(
        db, "SELECT name, sql FROM sqlite_master WHERE type = 'table' ORDER BY name", -1, &tables, nullptr);
    if (prepared != SQLITE_OK) {
        why = prepared == SQLITE_NOTADB ? "not an SQLite database" : sqlite3_errmsg(db);
        return prepared == SQLITE_NOTADB ? Opened::kRefused : Opened::kFailed;
    }
    int found = 0;
    bool matches = true;
    int step;
    while ((step = sqlite3_step(tables)) == SQLITE_ROW) {
        const auto* sql = reinterpret_cast<const char*>(sqlite3_column_text(tables, 1));
        bool known = false;
        for (const char* statement : kTableStatements)
            known = known || (sql != nullptr && std::strcmp(sql, statement) == 0);
        matches = matches && known;
        ++found;
    }
    sqlite3_finalize(tables);
    if (step != SQLITE_DONE) {
        why = step == SQLITE_NOTADB ? "not an SQLite database" : sqlite3_errmsg(db);
        return step == SQLITE_NOTADB ? Opened::kRefused : Opened::kFailed;
    }
    empty = found == 0;
    if (empty || (matches && found == 4)) return Opened::kOpen;
    why = "not a record of ostrela_record (other tables)";
    return Opened::kRefused;
}

}  // namespace

sqlite3_stmt* prepare(sqlite3* db, const char* sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK) return statement;
    std::printf("SQLite: %s\n", sqlite3_errmsg(db));
    return nullptr;
}

bool execute(sqlite3* db, const char* sql) {
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK) return true;
    std::printf("SQLite: %s\n", sqlite3_errmsg(db));
    return false;
}

Opened open_record_file(const char* path, bool for_writing, sqlite3*& db, std::string& why) {
    db = nullptr;
    if (for_writing) {
        const Opened locked = lock_for_recording(path, why);
        if (locked != Opened::kOpen) return locked;
    }
    const int flags = for_writing ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY;
    if (sqlite3_open_v2(path, &db, flags | SQLITE_OPEN_NOFOLLOW, nullptr) != SQLITE_OK) {
        why = db != nullptr ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        db = nullptr;
        return Opened::kFailed;
    }
    bool empty = false;
    const Opened checked = check_schema(db, empty, why);
    if (checked == Opened::kOpen && empty && !for_writing) {
        why = "holds no record";
        return Opened::kRefused;
    }
    if (checked == Opened::kOpen && for_writing) {
        bool made = execute(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;");
        if (made && empty) {
            made = execute(db, "BEGIN");
            for (const char* statement : kTableStatements) made = made && execute(db, statement);
            made = made && execute(db, "COMMIT");
        }
        if (!(made && execute(db, kIndexes))) {
            why = sqlite3_errmsg(db);
            sqlite3_close(db);
            db = nullptr;
            return Opened::kFailed;
        }
    }
    if (checked != Opened::kOpen) {
        sqlite3_close(db);
        db = nullptr;
    }
    return checked;
}

}  // namespace gorv::record
