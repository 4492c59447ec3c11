// ostrela_client: a load generator that stands where the benchmark's client
// program stands. Started on a client host with a client id, it finds its
// remote daemon's two areas through the client registry file, takes the
// requested op rate and workload set from its ControlRecord, does paced
// file-system work in a scratch directory of its own, and reports in its
// StatusRecord once a second: INIT, WARM, RUN, and CLEANUP once told to stop
// by SIGTERM or SIGINT (or after -c operations), after which it removes its
// scratch directory and prints on standard error what it ran.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "client/load_mix.h"
#include "client/operations.h"
#include "client/scratch_dir.h"
#include "common/constants.h"
#include "common/registry.h"
#include "common/segment_area.h"
#include "tools/client_records.h"
#include "tools/followed_area.h"
#include "tools/master_area.h"

namespace gorv::client {
namespace {

using tools::ControlRecord;
using tools::StatusRecord;

struct Settings {
    int client_id = -1;
    const char* scratch_parent = kClientScratchParent;
    int warm_seconds = kClientWarmSeconds;
    long long operation_limit = 0;  // -c: end after this many operations; 0 for none
};

// Operations and latencies since the last status report.
struct Window {
    double start = 0.0;
    std::int64_t ops = 0;
    std::int64_t reads = 0;
    double read_ms = 0.0;
    std::int64_t writes = 0;
    double write_ms = 0.0;
};

struct Client {
    Settings settings;
    std::byte* control = nullptr;  // the remote's MO area: ControlRecord
    std::int32_t control_size = 0;
    std::byte* status = nullptr;  // the remote's RO area: StatusRecord
    tools::FollowedArea areas[2];  // MO and RO, as attached
    bool waiting_said = false;
    bool rate_taken = false;
    double op_rate = 0.0;
    Operations operations;
    long long operations_run = 0;
    ScratchDir scratch;
    StatusRecord report;
    double warm_started = 0.0;
    double run_started = 0.0;
    double next_op = 0.0;
    double next_report = 0.0;
    Window window;
};

// The client's process-wide state, and the flag its signal handler sets.
Client the_client;
volatile std::sig_atomic_t stop_requested = 0;

void request_stop(int /*signal*/) { stop_requested = 1; }

double now() {
    timespec clock{};
    clock_gettime(CLOCK_MONOTONIC, &clock);
    return static_cast<double>(clock.tv_sec) + static_cast<double>(clock.tv_nsec) / 1e9;
}

void pause_for(double seconds) {
    if (seconds <= 0.0) return;
    const auto whole = static_cast<time_t>(seconds);
    const timespec pause{whole, static_cast<long>((seconds - static_cast<double>(whole)) * 1e9)};
    nanosleep(&pause, nullptr);  // a signal cuts it short, which is what we want
}

void print_usage() {
    std::puts("ostrela_client: -n client_id [-d scratch_parent] [-w warm_seconds] [-h]");
    // Standard output keeps the usage line it always had.
    std::fputs("\t[-c operations]: end after that many operations\n\t[-v]: the package version\n", stderr);
}

// A whole number from lowest to highest, or -1.
int whole_number(const char* text, int lowest, int highest) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || value < lowest || value > highest) return -1;
    return static_cast<int>(value);
}

// Returns the status to end with when the program should not run.
int parse_options(int argc, char** argv, Settings& settings) {
    for (int option; (option = getopt(argc, argv, "hvn:d:w:c:")) != -1;) {
        switch (option) {
            case 'h':
                print_usage();
                return kExitOk;
            case 'v':
                std::printf("ostrela_client %s\n", GORV_VERSION);
                return kExitOk;
            case 'n':
                settings.client_id = whole_number(optarg, 0, kMaxRemotes - 1);
                if (settings.client_id < 0) {
                    std::printf("ostrela_client: client id %s refused: give 0 to %d\n", optarg, kMaxRemotes - 1);
                    return kExitFailure;
                }
                break;
            case 'd':
                settings.scratch_parent = optarg;
                break;
            case 'w':
                settings.warm_seconds = whole_number(optarg, 0, 3600);
                if (settings.warm_seconds < 0) {
                    std::printf("ostrela_client: warm-up of %s seconds refused: give 0 to 3600\n", optarg);
                    return kExitFailure;
                }
                break;
            case 'c': {
                char* end = nullptr;
                errno = 0;
                settings.operation_limit = std::strtoll(optarg, &end, 10);
                if (end == optarg || *end != '\0' || errno != 0 || settings.operation_limit < 1) {
                    std::printf("ostrela_client: %s operations refused: give a whole number of at least 1\n", optarg);
                    return kExitFailure;
                }
                break;
            }
            default:
                print_usage();
                return kExitFailure;
        }
    }
    if (settings.client_id >= 0) return -1;
    print_usage();
    return kExitFailure;
}

void registry_path(const Client& client, std::span<char> path) {
    std::snprintf(path.data(), path.size(), "%s_%u", kClientRegistryBase,
                  static_cast<unsigned>(client.settings.client_id));
}

// The areas the client registry names, when they can hold the records.
bool named_areas(const ClientRegistry& registry, tools::AreaName (&named)[2]) {
    named[0] = {registry.mo_key, registry.mo_size};
    named[1] = {registry.ro_key, registry.ro_size};
    return registry.mo_size >= tools::kControlHeaderSize && registry.ro_size >= tools::kStatusRecordSize;
}

bool take_areas(Client& client, const tools::AreaName (&named)[2]) {
    client.control = nullptr;
    client.status = nullptr;
    if (!tools::follow_areas(client.areas, named)) return false;
    client.control = client.areas[0].address;
    client.status = client.areas[1].address;
    client.control_size = named[0].size;
    return true;
}

bool attach_areas(Client& client) {
    const int id = client.settings.client_id;
    char path[PATH_MAX];
    registry_path(client, path);
    const char* refusal = nullptr;
    const auto registry = read_client_registry(path, &refusal);
    if (!registry) {
        tools::print_registry_refusal(path, refusal);
        std::printf("Client %d: cannot read %s\n", id, path);
        return false;
    }
    tools::AreaName named[2];
    if (!named_areas(*registry, named)) {
        std::printf("Client %d: areas of %d and %d bytes cannot hold its records\n", id, registry->mo_size,
                    registry->ro_size);
        return false;
    }
    if (!take_areas(client, named)) {
        std::printf("Client %d: cannot attach the areas named in %s\n", id, path);
        return false;
    }
    return true;
}

template <typename T>
T load_field(const std::byte* record, std::size_t offset) {
    T value{};
    std::memcpy(&value, record + offset, sizeof value);
    return value;
}

void clear_flag(std::byte* record, std::size_t offset) {
    const std::int32_t cleared = 0;
    std::memcpy(record + offset, &cleared, sizeof cleared);
}

// Takes a new rate or workload set; the first look takes the rate as it stands.
void take_requests(Client& client, double time) {
    const auto rate_changed = load_field<std::int32_t>(client.control, offsetof(ControlRecord, op_rate_changed));
    if (!client.rate_taken || rate_changed == 1) {
        const auto rate = load_field<double>(client.control, offsetof(ControlRecord, op_rate));
        client.op_rate = std::isfinite(rate) && rate > 0.0 ? rate : 0.0;
        client.next_op = time;
        client.rate_taken = true;
        if (rate_changed == 1) clear_flag(client.control, offsetof(ControlRecord, op_rate_changed));
    }
    if (client.control_size < tools::kControlRecordSize) return;  // no room for a workload set
    if (load_field<std::int32_t>(client.control, offsetof(ControlRecord, workload_changed)) != 1) return;
    const auto first_workload = load_field<tools::WorkloadDescription>(client.control, offsetof(ControlRecord, workloads));
    take_workload(client.operations, client.scratch, first_workload, client.settings.client_id);
    clear_flag(client.control, offsetof(ControlRecord, workload_changed));
}

void publish(Client& client) {
    if (client.status != nullptr) std::memcpy(client.status, &client.report, sizeof client.report);
}

// Once a second: whether the remote's areas are still the ones attached.
// Replaced ones are attached and the client goes on in them; gone ones are
// said once, and the client waits for them. True when it waited.
bool follow_remote(Client& client) {
    const int id = client.settings.client_id;
    char path[PATH_MAX];
    registry_path(client, path);
    const auto registry = read_client_registry(path);
    tools::AreaName named[2];
    const bool usable = registry && named_areas(*registry, named);
    const std::span<const tools::AreaName> names(named, usable ? 2 : 0);
    switch (tools::standing_of(client.areas, names)) {
        case tools::AreaStanding::kHeld:
            return false;
        case tools::AreaStanding::kReplaced:
            if (!take_areas(client, named)) break;
            std::printf("Client %d: its remote's areas were made anew; attached the new ones\n", id);
            std::fflush(stdout);
            client.waiting_said = false;
            client.rate_taken = false;  // the new ControlRecord's rate, as it stands
            publish(client);
            return false;
        case tools::AreaStanding::kGone:
            break;
    }
    if (!client.waiting_said) {
        std::printf("Client %d: its remote's areas are gone; waiting for them\n", id);
        std::fflush(stdout);
        client.waiting_said = true;
    }
    pause_for(1.0);
    return true;
}

// Once a second: move on from WARM, and report the last second's work.
void report(Client& client, double time) {
    StatusRecord& report = client.report;
    if (report.phase == tools::kPhaseWarm && time - client.warm_started >= client.settings.warm_seconds) {
        report.phase = tools::kPhaseRun;
        client.run_started = time;
    }
    const Window& window = client.window;
    report.req_op_rate = client.op_rate;
    report.cur_op_rate = static_cast<double>(window.ops) / std::max(time - window.start, 1e-3);
    report.run_time = report.phase == tools::kPhaseRun ? time - client.run_started : 0.0;
    // A second without reads or writes keeps the mean of the last one that had some.
    if (window.reads > 0) report.rt = window.read_ms / static_cast<double>(window.reads);
    if (window.writes > 0) report.wt = window.write_ms / static_cast<double>(window.writes);
    publish(client);
    client.window = Window{.start = time};
}

void run_one_operation(Client& client) {
    const double began = now();
    const Ran ran = run_next_operation(client.operations, client.scratch);
    ++client.operations_run;
    if (!ran.done) return;  // only what did what its name says counts towards the rate
    const double took_ms = (now() - began) * 1e3;
    const OpKind kind = ran.kind;
    Window& window = client.window;
    ++window.ops;
    if (kind == OpKind::kRead) {
        ++window.reads;
        window.read_ms += took_ms;
    } else if (kind == OpKind::kWrite || kind == OpKind::kCreate) {
        ++window.writes;
        window.write_ms += took_ms;
    }
}

void run_load(Client& client) {
    const double started = now();
    client.warm_started = started;
    client.report.phase = tools::kPhaseWarm;
    client.window = Window{.start = started};
    client.next_report = started;
    const long long limit = client.settings.operation_limit;
    while (stop_requested == 0 && (limit == 0 || client.operations_run < limit)) {
        const double time = now();
        if (time >= client.next_report && follow_remote(client)) {
            client.window = Window{.start = now()};  // the wait is no part of the next report
            client.next_report = client.window.start;
            continue;
        }
        take_requests(client, time);
        if (time >= client.next_report) {
            report(client, time);
            client.next_report = std::max(client.next_report + 1.0, time + 0.5);
        }
        if (client.op_rate > 0.0 && time >= client.next_op) {
            run_one_operation(client);
            // Paced from the schedule, not from the last operation; a client
            // that fell more than a second behind starts the schedule afresh.
            client.next_op = std::max(client.next_op + 1.0 / client.op_rate, time - 1.0);
            continue;
        }
        double wake = client.next_report;
        if (client.op_rate > 0.0) wake = std::min(wake, client.next_op);
        pause_for(std::min(wake, time + 0.1) - time);
    }
}

int run_client(int argc, char** argv, Client& client) {
    if (const int status = parse_options(argc, argv, client.settings); status >= 0) return status;
    const int id = client.settings.client_id;
    struct sigaction stop{};
    stop.sa_handler = request_stop;
    sigemptyset(&stop.sa_mask);
    if (sigaction(SIGTERM, &stop, nullptr) < 0 || sigaction(SIGINT, &stop, nullptr) < 0) {
        std::perror("sigaction");
        return kExitFailure;
    }
    if (!attach_areas(client)) return kExitFailure;
    client.report = StatusRecord{.phase = tools::kPhaseInit};
    publish(client);

    if (!open_scratch(client.settings.scratch_parent, id, client.scratch)) {
        std::perror(client.scratch.path.data());
        std::printf("Client %d: cannot make a scratch directory under %s\n", id, client.settings.scratch_parent);
        if (client.scratch.files[0].present) remove_scratch(client.scratch);
        return kExitFailure;
    }
    run_load(client);

    client.report.phase = tools::kPhaseCleanup;
    client.report.cur_op_rate = 0.0;
    publish(client);
    const bool removed = remove_scratch(client.scratch);
    if (!removed) std::perror(client.scratch.path.data());
    print_run_report(stderr, id, client.operations.report);
    return removed ? kExitOk : kExitFailure;
}

}  // namespace
}  // namespace gorv::client

int main(int argc, char** argv) { return gorv::client::run_client(argc, argv, gorv::client::the_client); }
