#include "record/recorder.h"

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <span>

#include "common/constants.h"
#include "dashboard/client_view.h"
#include "record/record_file.h"
#include "tools/status_lines.h"

namespace gorv::record {
namespace {

using tools::ControlRecord;

template <typename T>
T field_at(const std::byte* segment, std::size_t offset) {
    T value{};
    std::memcpy(&value, segment + offset, sizeof value);
    return value;
}

bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

bool same_status(const tools::StatusRecord& a, const tools::StatusRecord& b) {
    return same_bits(a.req_op_rate, b.req_op_rate) && same_bits(a.cur_op_rate, b.cur_op_rate) &&
           same_bits(a.run_time, b.run_time) && same_bits(a.rt, b.rt) && same_bits(a.wt, b.wt) && a.phase == b.phase;
}

// The link state file as the dashboard reads it; the one place to change
// when its format moves.
// A master that has gone without its last word reads every link down.
std::vector<dashboard::LinkState> read_links() { return dashboard::read_link_states(kMasterLinksPath).rows; }

// The non-empty workload names of a set, joined by commas.
std::string workload_names(const std::byte* segment) {
    std::string names;
    for (int w = 0; w < tools::kWorkloadCount; ++w) {
        const std::byte* name = segment + offsetof(ControlRecord, workloads) +
                                static_cast<std::size_t>(w) * sizeof(tools::WorkloadDescription);
        const std::size_t length =
            strnlen(reinterpret_cast<const char*>(name), sizeof tools::WorkloadDescription{}.workload_name);
        if (length == 0) continue;
        if (!names.empty()) names.push_back(',');
        names.append(reinterpret_cast<const char*>(name), length);
    }
    return names;
}

void bind_real(sqlite3_stmt* statement, int column, double value) {
    if (std::isnan(value)) {
        sqlite3_bind_null(statement, column);
    } else {
        sqlite3_bind_double(statement, column, value);
    }
}

void bind_text(sqlite3_stmt* statement, int column, const char* text) {
    if (text == nullptr) {
        sqlite3_bind_null(statement, column);
    } else {
        sqlite3_bind_text(statement, column, text, -1, SQLITE_TRANSIENT);
    }
}

bool finish(sqlite3* db, sqlite3_stmt* statement) {
    const int done = sqlite3_step(statement);
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    if (done == SQLITE_DONE) return true;
    std::printf("ostrela_record: SQLite: %s\n", sqlite3_errmsg(db));
    return false;
}

void bind_row_head(sqlite3_stmt* statement, std::int64_t run, double t, std::int32_t client) {
    sqlite3_bind_int64(statement, 1, run);
    sqlite3_bind_double(statement, 2, t);
    sqlite3_bind_int(statement, 3, client);
}

bool record_status(Recorder& recorder, double t, std::int32_t client, ClientSeen& seen) {
    const std::byte* segment =
        recorder.areas[1].address + static_cast<std::size_t>(client) * static_cast<std::size_t>(recorder.ro.seg_size);
    tools::StatusRecord status{};
    std::memcpy(&status, segment, sizeof status);
    if (!recorder.first_pass && same_status(status, seen.status)) return true;
    seen.status = status;
    sqlite3_stmt* row = recorder.add_status;
    bind_row_head(row, recorder.run, t, client);
    sqlite3_bind_int(row, 4, status.phase);
    const double values[] = {status.req_op_rate, status.cur_op_rate, status.run_time, status.rt, status.wt};
    for (int i = 0; i < 5; ++i) bind_real(row, 5 + i, values[i]);
    return finish(recorder.db, row);
}

bool record_control(Recorder& recorder, double t, std::int32_t client, ClientSeen& seen) {
    const std::byte* segment =
        recorder.areas[0].address + static_cast<std::size_t>(client) * static_cast<std::size_t>(recorder.mo.seg_size);
    const auto op_rate = field_at<double>(segment, offsetof(ControlRecord, op_rate));
    const auto rate_changed = field_at<std::int32_t>(segment, offsetof(ControlRecord, op_rate_changed));
    const auto workload_changed = field_at<std::int32_t>(segment, offsetof(ControlRecord, workload_changed));
    const bool names_held = recorder.mo.seg_size >= tools::kControlRecordSize;
    const std::string names = names_held ? workload_names(segment) : std::string();
    if (!recorder.first_pass && same_bits(op_rate, seen.op_rate) && rate_changed == seen.op_rate_changed &&
        workload_changed == seen.workload_changed && names == seen.workload_names)
        return true;
    seen.op_rate = op_rate;
    seen.op_rate_changed = rate_changed;
    seen.workload_changed = workload_changed;
    seen.workload_names = names;
    sqlite3_stmt* row = recorder.add_control;
    bind_row_head(row, recorder.run, t, client);
    bind_real(row, 4, op_rate);
    sqlite3_bind_int(row, 5, rate_changed);
    sqlite3_bind_int(row, 6, workload_changed);
    bind_text(row, 7, names_held ? names.c_str() : nullptr);
    return finish(recorder.db, row);
}

const char* direction_text(std::int32_t up) { return up < 0 ? nullptr : up != 0 ? "up" : "down"; }

bool record_link(Recorder& recorder, double t, std::int32_t client, const dashboard::LinkState* link,
                 ClientSeen& seen) {
    const bool known = link != nullptr && link->known;
    const std::int32_t to = !known ? -1 : link->to_remote_up ? 1 : 0;
    const std::int32_t from = !known ? -1 : link->from_remote_up ? 1 : 0;
    if (to == seen.to_remote && from == seen.from_remote) return true;
    seen.to_remote = to;
    seen.from_remote = from;
    sqlite3_stmt* row = recorder.add_link;
    bind_row_head(row, recorder.run, t, client);
    bind_text(row, 4, direction_text(to));
    bind_text(row, 5, direction_text(from));
    return finish(recorder.db, row);
}

bool end_run(Recorder& recorder, double t, const char* why) {
    if (recorder.run == 0) return true;
    sqlite3_bind_double(recorder.close_run, 1, t);
    sqlite3_bind_int64(recorder.close_run, 2, recorder.run);
    const bool ended = finish(recorder.db, recorder.close_run);
    std::printf("ostrela_record: run %lld ended: %s\n", static_cast<long long>(recorder.run), why);
    std::fflush(stdout);
    recorder.run = 0;
    tools::release_areas(recorder.areas);
    return ended;
}

bool areas_fit(const MasterRegistry& registry, bool& control_fits) {
    const AreaEntry& mo = registry.mo;
    const std::int64_t last = registry.ro.number_of_segs - 1;
    control_fits = mo.number_of_segs == registry.ro.number_of_segs &&
                   (last <= 0 || mo.seg_size >= tools::kControlHeaderSize) &&
                   last * mo.seg_size + tools::kControlHeaderSize <= mo.size;
    return tools::check_status_area(registry.ro) == tools::AreaFit::kFits;
}

bool begin_run(Recorder& recorder, double t, const MasterRegistry& registry, std::span<const tools::AreaName> named,
               const dashboard::RegistryIdentity& identity) {
    if (!areas_fit(registry, recorder.control_fits) || !tools::follow_areas(recorder.areas, named)) return true;
    recorder.mo = registry.mo;
    recorder.ro = registry.ro;
    recorder.registry = identity;
    sqlite3_stmt* row = recorder.add_run;
    sqlite3_bind_double(row, 1, t);
    sqlite3_bind_int(row, 2, recorder.ro.number_of_segs);
    sqlite3_bind_int(row, 3, recorder.ro.seg_size);
    if (!finish(recorder.db, row)) return false;
    recorder.run = sqlite3_last_insert_rowid(recorder.db);
    recorder.first_pass = true;
    recorder.waiting_said = false;
    for (ClientSeen& seen : recorder.seen) seen = ClientSeen{};
    std::printf("ostrela_record: run %lld: %d clients, segments of %d bytes, into %s\n",
                static_cast<long long>(recorder.run), recorder.ro.number_of_segs, recorder.ro.seg_size, recorder.path);
    if (!recorder.control_fits)
        std::printf("ostrela_record: the MO area cannot hold every client's control: no control rows\n");
    std::fflush(stdout);
    return true;
}

// Ends the run whose areas changed or went, and begins one on the areas
// the registry names now, when there are any.
bool follow_master(Recorder& recorder, double t) {
    const dashboard::RegistryIdentity identity = dashboard::registry_identity(kMasterRegistryPath);
    const auto registry = read_master_registry(kMasterRegistryPath);
    const tools::AreaName named[] = {{registry ? registry->mo.key : 0, registry ? registry->mo.size : 0},
                                     {registry ? registry->ro.key : 0, registry ? registry->ro.size : 0}};
    const std::span<const tools::AreaName> names(named, registry ? 2 : 0);
    const tools::AreaStanding standing = tools::standing_of(recorder.areas, names);
    if (recorder.run != 0) {
        if (standing == tools::AreaStanding::kHeld && identity == recorder.registry) return true;
        if (!end_run(
                recorder, t,
                standing == tools::AreaStanding::kGone ? "the master's areas are gone" : "the master started again"))
            return false;
    }
    if (standing != tools::AreaStanding::kGone && !begin_run(recorder, t, *registry, names, identity)) return false;
    if (recorder.run == 0 && !recorder.waiting_said) {
        std::printf("ostrela_record: waiting for the master's areas\n");
        std::fflush(stdout);
        recorder.waiting_said = true;
    }
    return true;
}

}  // namespace

bool start_recorder(Recorder& recorder, sqlite3* db, const char* path) {
    recorder.db = db;
    recorder.path = path;
    recorder.seen.resize(kMonitorCapacity);
    recorder.add_run = prepare(db, "INSERT INTO runs (started, clients, seg_size) VALUES (?, ?, ?)");
    recorder.close_run = prepare(db, "UPDATE runs SET ended = ? WHERE run = ?");
    recorder.add_status = prepare(db,
                                  "INSERT INTO status (run, t, client, phase, req_op_rate, cur_op_rate, run_time, rt, "
                                  "wt) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)");
    recorder.add_control = prepare(db,
                                   "INSERT INTO control (run, t, client, op_rate, op_rate_changed, workload_changed, "
                                   "workload_names) VALUES (?, ?, ?, ?, ?, ?, ?)");
    recorder.add_link =
        prepare(db, "INSERT INTO links (run, t, client, to_remote, from_remote) VALUES (?, ?, ?, ?, ?)");
    return recorder.add_run != nullptr && recorder.close_run != nullptr && recorder.add_status != nullptr &&
           recorder.add_control != nullptr && recorder.add_link != nullptr;
}

bool record_pass(Recorder& recorder, double t) {
    if (!execute(recorder.db, "BEGIN")) return false;
    bool written = follow_master(recorder, t);
    if (written && recorder.run != 0) {
        const std::vector<dashboard::LinkState> links = read_links();
        for (std::int32_t client = 0; written && client < recorder.ro.number_of_segs; ++client) {
            ClientSeen& seen = recorder.seen[static_cast<std::size_t>(client)];
            const auto row = static_cast<std::size_t>(client);
            written = record_status(recorder, t, client, seen) &&
                      (!recorder.control_fits || record_control(recorder, t, client, seen)) &&
                      record_link(recorder, t, client, row < links.size() ? &links[row] : nullptr, seen);
        }
        recorder.first_pass = false;
    }
    if (!written) {
        execute(recorder.db, "ROLLBACK");
        return false;
    }
    return execute(recorder.db, "COMMIT");
}

bool stop_recorder(Recorder& recorder, double t) {
    bool ended =
        execute(recorder.db, "BEGIN") && end_run(recorder, t, "the recorder stopped") && execute(recorder.db, "COMMIT");
    for (sqlite3_stmt* statement :
         {recorder.add_run, recorder.close_run, recorder.add_status, recorder.add_control, recorder.add_link})
        sqlite3_finalize(statement);
    ended = sqlite3_close(recorder.db) == SQLITE_OK && ended;
    recorder.db = nullptr;
    return ended;
}

}  // namespace gorv::record
