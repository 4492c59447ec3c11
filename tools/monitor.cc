// ostrela_monitor: once a second, a line for every client whose reported
// status changed in the master's RO area. Runs until a signal ends it.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <span>

#include "common/constants.h"
#include "common/registry.h"
#include "tools/followed_area.h"
#include "tools/master_area.h"
#include "tools/status_lines.h"

namespace gorv::tools {
namespace {

// The monitor's process-wide state.
MonitorState the_monitor;
char the_timestamp[25];

// The first 24 characters of ctime(): the local time without its newline.
const char* timestamp_text() {
    const std::time_t now = std::time(nullptr);
    const char* text = std::ctime(&now);
    the_timestamp[0] = '\0';
    if (text != nullptr) std::snprintf(the_timestamp, sizeof the_timestamp, "%.24s", text);
    return the_timestamp;
}

void print_usage() {
    std::puts("\t-h............  Help screen");
    std::putchar('\n');
}

// Once a pass: when the master's RO area was released and a new one took
// its place, watch the new one as from a fresh start. Each change of
// standing is said once, on standard error, so that stdout keeps its lines.
void follow_master(FollowedArea& watched, AreaEntry& ro, bool& waiting, MonitorState& state) {
    const auto registry = read_master_registry(kMasterRegistryPath);
    const AreaName named[] = {{registry ? registry->ro.key : 0, registry ? registry->ro.size : 0}};
    const std::span<const AreaName> names(named, registry ? 1 : 0);
    const AreaStanding standing = standing_of({&watched, 1}, names);
    if (standing == AreaStanding::kHeld) return;
    if (standing == AreaStanding::kReplaced && check_status_area(registry->ro) == AreaFit::kFits &&
        follow_areas({&watched, 1}, names)) {
        ro = registry->ro;
        state = MonitorState{};
        waiting = false;
        std::fprintf(stderr, "Monitoring the master's new RO area: %d clients\n", ro.number_of_segs);
        return;
    }
    if (waiting) return;
    waiting = true;
    std::fprintf(stderr, "The master's RO area is gone: waiting for a new one\n");
}

int monitor(int argc, char** argv, MonitorState& state) {
    for (int option; (option = getopt(argc, argv, "hv")) != -1;) {
        if (option == 'h') {
            print_usage();
            return kExitOk;
        }
        if (option == 'v') {
            std::printf("Version %s\n", kMonitorVersion);
            return kExitOk;
        }
    }
    const MasterArea area = open_master_area(MasterAreaKind::kRo, "Monitoring %d clients\n");
    if (area.address == nullptr) {
        std::puts("Get_master_zone failed");
        return kExitFailure;
    }
    const AreaEntry& ro = area.entry;
    switch (check_status_area(ro)) {
        case AreaFit::kTooManyClients:
            std::printf("Monitoring refused: %d clients are more than %d\n", ro.number_of_segs, kMonitorCapacity);
            return kExitFailure;
        case AreaFit::kPastArea:
            std::printf("Monitoring refused: client %d's status would end past the %d bytes of the RO area\n",
                        ro.number_of_segs - 1, ro.size);
            return kExitFailure;
        case AreaFit::kFits:
            break;
    }
    FollowedArea watched = followed(area.address, {area.entry.key, area.entry.size});
    AreaEntry ro_now = area.entry;
    bool waiting = false;
    for (;;) {
        follow_master(watched, ro_now, waiting, state);
        if (watched.address != nullptr) {
            const std::span<const std::byte> records(watched.address, static_cast<std::size_t>(ro_now.size));
            monitor_pass(records, ro_now.number_of_segs, ro_now.seg_size, state, stdout, timestamp_text);
        }
        std::fflush(stdout);  // lines show at once also when the output is a file or a pipe
        sleep(1);
    }
}

}  // namespace
}  // namespace gorv::tools

int main(int argc, char** argv) { return gorv::tools::monitor(argc, argv, gorv::tools::the_monitor); }
