#include "record/run_data.h"

#include <algorithm>
#include <cmath>

#include "common/constants.h"

namespace gorv::record {
namespace {

double real_at(sqlite3_stmt* row, int column) {
    return sqlite3_column_type(row, column) == SQLITE_NULL ? std::nan("") : sqlite3_column_double(row, column);
}

std::int64_t count_rows(sqlite3* db, const char* sql, std::int64_t run) {
    sqlite3_stmt* query = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &query, nullptr) != SQLITE_OK) return 0;
    sqlite3_bind_int64(query, 1, run);
    const std::int64_t count = sqlite3_step(query) == SQLITE_ROW ? sqlite3_column_int64(query, 0) : 0;
    sqlite3_finalize(query);
    return count;
}

}  // namespace

std::optional<RunData> load_run(sqlite3* db, std::int64_t run) {
    sqlite3_stmt* query = nullptr;
    const char* sql = run == 0 ? "SELECT run, started, ended, clients, seg_size FROM runs ORDER BY run DESC LIMIT 1"
                               : "SELECT run, started, ended, clients, seg_size FROM runs WHERE run = ?";
    if (sqlite3_prepare_v2(db, sql, -1, &query, nullptr) != SQLITE_OK) return std::nullopt;
    if (run != 0) sqlite3_bind_int64(query, 1, run);
    std::optional<RunData> data;
    if (sqlite3_step(query) == SQLITE_ROW) {
        data.emplace();
        data->run = sqlite3_column_int64(query, 0);
        data->started = sqlite3_column_double(query, 1);
        data->ended = real_at(query, 2);
        data->clients = std::clamp(sqlite3_column_int(query, 3), 0, kMonitorCapacity);
        data->seg_size = sqlite3_column_int(query, 4);
    }
    sqlite3_finalize(query);
    if (!data) return data;

    data->status.resize(static_cast<std::size_t>(data->clients));
    double last = data->started;
    if (sqlite3_prepare_v2(db,
                           "SELECT client, t, phase, req_op_rate, cur_op_rate, run_time, rt, wt FROM status "
                           "WHERE run = ? ORDER BY client, t",
                           -1, &query, nullptr) != SQLITE_OK)
        return std::nullopt;
    sqlite3_bind_int64(query, 1, data->run);
    while (sqlite3_step(query) == SQLITE_ROW) {
        const int client = sqlite3_column_int(query, 0);
        if (client < 0 || client >= data->clients) continue;
        const StatusRow row{.t = sqlite3_column_double(query, 1),
                            .phase = sqlite3_column_int(query, 2),
                            .req_op_rate = real_at(query, 3),
                            .cur_op_rate = real_at(query, 4),
                            .run_time = real_at(query, 5),
                            .rt = real_at(query, 6),
                            .wt = real_at(query, 7)};
        last = std::max(last, row.t);
        data->status[static_cast<std::size_t>(client)].push_back(row);
    }
    sqlite3_finalize(query);
    data->end = std::isnan(data->ended) ? last : std::max(data->ended, last);
    data->control_rows = count_rows(db, "SELECT count(*) FROM control WHERE run = ?", data->run);
    data->link_rows = count_rows(db, "SELECT count(*) FROM links WHERE run = ?", data->run);
    return data;
}

}  // namespace gorv::record
