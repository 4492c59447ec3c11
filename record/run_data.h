// One run of a record file as the report needs it: the run's row and every
// client's status rows in time order. A NULL value (a NaN when recorded)
// reads as a NaN.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace gorv::record {

struct StatusRow {
    double t = 0.0;
    std::int32_t phase = 0;
    double req_op_rate = 0.0;
    double cur_op_rate = 0.0;
    double run_time = 0.0;
    double rt = 0.0;
    double wt = 0.0;
};

struct RunData {
    std::int64_t run = 0;
    double started = 0.0;
    double ended = 0.0;  // NaN for a run still open (or cut short by SIGKILL)
    double end = 0.0;    // ended, or the last row's time when there is none
    std::int32_t clients = 0;
    std::int32_t seg_size = 0;
    std::vector<std::vector<StatusRow>> status;  // by client
    std::int64_t control_rows = 0;
    std::int64_t link_rows = 0;
};

// The run numbered `run`, or the last run when `run` is 0; nullopt when the
// file holds no such run.
std::optional<RunData> load_run(sqlite3* db, std::int64_t run);

}  // namespace gorv::record
