// ostrela_record's passes: what changed in the master's areas and its link
// state since the last pass, appended to the record file as one transaction.
//
// A run begins when the recorder first finds the master's areas and again
// whenever they change: replaced after a release run, or the registry file
// written anew by a master started again. It ends when they go or the
// recorder stops. In a run's first pass every client gets a status and a
// control row; later a row only when one of its fields differs from the
// last pass, bit for bit (a NaN written once is one row).
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/registry.h"
#include "dashboard/master_link.h"
#include "tools/client_records.h"
#include "tools/followed_area.h"

namespace gorv::record {

// What the last pass saw of one client.
struct ClientSeen {
    tools::StatusRecord status{};
    double op_rate = 0.0;
    std::int32_t op_rate_changed = 0;
    std::int32_t workload_changed = 0;
    std::string workload_names;
    bool names_held = false;      // false: the segment cannot hold a workload set
    std::int32_t to_remote = -1;  // 1 up, 0 down, -1 unknown
    std::int32_t from_remote = -1;
};

struct Recorder {
    sqlite3* db = nullptr;
    const char* path = "";
    sqlite3_stmt* add_run = nullptr;
    sqlite3_stmt* close_run = nullptr;
    sqlite3_stmt* add_status = nullptr;
    sqlite3_stmt* add_control = nullptr;
    sqlite3_stmt* add_link = nullptr;
    std::int64_t run = 0;  // 0 while no run is open
    bool first_pass = false;
    bool waiting_said = false;
    tools::FollowedArea areas[2];  // MO, RO
    AreaEntry mo;
    AreaEntry ro;
    bool control_fits = false;
    dashboard::RegistryIdentity registry;
    std::vector<ClientSeen> seen;  // kMonitorCapacity entries, made once
};

// Prepares the statements; false after SQLite's message.
bool start_recorder(Recorder& recorder, sqlite3* db, const char* path);

// One pass at Unix time `t`. False when the record file could not be written.
bool record_pass(Recorder& recorder, double t);

// Ends the open run at `t` (the recorder stops) and closes the file.
bool stop_recorder(Recorder& recorder, double t);

}  // namespace gorv::record
