#include "record/run_csv.h"

#include <string>

namespace gorv::record {
namespace {

bool write_table(sqlite3* db, std::int64_t run, const char* dir, const char* table) {
    const std::string path = std::string(dir) + "/" + table + ".csv";
    const std::string sql = std::string("SELECT * FROM ") + table + " WHERE run = ? ORDER BY rowid";
    sqlite3_stmt* query = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &query, nullptr) != SQLITE_OK) {
        std::printf("ostrela_report: SQLite: %s\n", sqlite3_errmsg(db));
        return false;
    }
    sqlite3_bind_int64(query, 1, run);
    std::FILE* out = std::fopen(path.c_str(), "w");
    if (out == nullptr) {
        std::perror(path.c_str());
        sqlite3_finalize(query);
        return false;
    }
    const int columns = sqlite3_column_count(query);
    for (int c = 0; c < columns; ++c) {
        if (c > 0) std::fputc(',', out);
        write_csv_field(out, sqlite3_column_name(query, c));
    }
    std::fputs("\r\n", out);
    int step;
    while ((step = sqlite3_step(query)) == SQLITE_ROW) {
        for (int c = 0; c < columns; ++c) {
            if (c > 0) std::fputc(',', out);
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(query, c));
            if (text != nullptr) write_csv_field(out, {text, static_cast<std::size_t>(sqlite3_column_bytes(query, c))});
        }
        std::fputs("\r\n", out);
    }
    sqlite3_finalize(query);
    const bool written = std::ferror(out) == 0;
    if (std::fclose(out) != 0 || !written) {
        std::perror(path.c_str());
        return false;
    }
    if (step == SQLITE_DONE) return true;
    std::printf("ostrela_report: SQLite: %s\n", sqlite3_errmsg(db));
    return false;
}

}  // namespace

void write_csv_field(std::FILE* out, std::string_view field) {
    if (field.find_first_of(",\"\r\n") == std::string_view::npos) {
        std::fwrite(field.data(), 1, field.size(), out);
        return;
    }
    std::fputc('"', out);
    for (const char c : field) {
        if (c == '"') std::fputc('"', out);
        std::fputc(c, out);
    }
    std::fputc('"', out);
}

bool write_run_csv(sqlite3* db, std::int64_t run, const char* dir) {
    return write_table(db, run, dir, "status") && write_table(db, run, dir, "control") &&
           write_table(db, run, dir, "links");
}

}  // namespace gorv::record
