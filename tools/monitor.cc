// ostrela_monitor: once a second, a line for every client whose reported
// status changed in the master's RO area. Runs until a signal ends it.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <span>

#include "common/constants.h"
#include "common/registry.h"
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
    const std::span<const std::byte> records(area.address, static_cast<std::size_t>(ro.size));
    for (;;) {
        monitor_pass(records, ro.number_of_segs, ro.seg_size, state, stdout, timestamp_text);
        std::fflush(stdout);  // lines show at once also when the output is a file or a pipe
        sleep(1);
    }
}

}  // namespace
}  // namespace gorv::tools

int main(int argc, char** argv) { return gorv::tools::monitor(argc, argv, gorv::tools::the_monitor); }
