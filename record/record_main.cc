// ostrela_record: appends what changes in the master's areas and link state
// to an SQLite record file, one pass every -i milliseconds, until SIGTERM or
// SIGINT, which finish the pass, end the run and close the file.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "common/constants.h"
#include "record/record_file.h"
#include "record/recorder.h"

namespace gorv::record {
namespace {

constexpr char kDefaultRecordFile[] = "gorv_record.db";
constexpr long kDefaultIntervalMs = 1000;
constexpr long kLeastIntervalMs = 100;

struct Settings {
    const char* path = kDefaultRecordFile;
    long interval_ms = kDefaultIntervalMs;
};

Recorder the_recorder;
volatile std::sig_atomic_t stop_requested = 0;

void request_stop(int /*signal*/) { stop_requested = 1; }

void print_usage() {
    std::puts("ostrela_record [-o FILE] [-i MS] [-h] [-v]");
    std::puts("\t-o FILE.......  Record file (default gorv_record.db)");
    std::puts("\t-i MS.........  Milliseconds between passes (default 1000, at least 100)");
    std::puts("\t-h............  Help screen");
    std::puts("\t-v............  Version");
}

// Returns the status to end with when the command line ends the program.
int parse_options(int argc, char** argv, Settings& settings) {
    for (int option; (option = getopt(argc, argv, "o:i:hv")) != -1;) {
        switch (option) {
            case 'o':
                settings.path = optarg;
                break;
            case 'i': {
                char* end = nullptr;
                errno = 0;
                settings.interval_ms = std::strtol(optarg, &end, 10);
                if (end == optarg || *end != '\0' || errno != 0 || settings.interval_ms < kLeastIntervalMs ||
                    settings.interval_ms > INT_MAX) {
                    std::printf("ostrela_record: interval %s refused: give %ld or more milliseconds\n", optarg,
                                kLeastIntervalMs);
                    return kExitFailure;
                }
                break;
            }
            case 'h':
                print_usage();
                return kExitOk;
            case 'v':
                std::printf("ostrela_record %s\n", GORV_VERSION);
                return kExitOk;
            default:
                print_usage();
                return kExitFailure;
        }
    }
    return -1;
}

double unix_time() {
    timespec clock{};
    clock_gettime(CLOCK_REALTIME, &clock);
    return static_cast<double>(clock.tv_sec) + static_cast<double>(clock.tv_nsec) / 1e9;
}

// Sleeps to the next pass's time on the monotonic clock; a signal cuts it short.
void sleep_until(timespec& next, long interval_ms) {
    next.tv_nsec += (interval_ms % 1000) * 1000000;
    next.tv_sec += interval_ms / 1000 + next.tv_nsec / 1000000000;
    next.tv_nsec %= 1000000000;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec > next.tv_sec || (now.tv_sec == next.tv_sec && now.tv_nsec > next.tv_nsec))
        next = now;  // fell behind
    while (stop_requested == 0 && clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
    }
}

int record(int argc, char** argv, Recorder& recorder) {
    Settings settings;
    if (const int status = parse_options(argc, argv, settings); status >= 0) return status;
    struct sigaction stop {};
    stop.sa_handler = request_stop;
    sigemptyset(&stop.sa_mask);
    if (sigaction(SIGTERM, &stop, nullptr) < 0 || sigaction(SIGINT, &stop, nullptr) < 0) {
        std::perror("sigaction");
        return kExitFailure;
    }
    sqlite3* db = nullptr;
    std::string why;
    if (open_record_file(settings.path, true, db, why) != Opened::kOpen) {
        std::printf("ostrela_record: %s refused: %s\n", settings.path, why.c_str());
        return kExitFailure;
    }
    if (!start_recorder(recorder, db, settings.path)) return kExitFailure;
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    while (stop_requested == 0) {
        if (!record_pass(recorder, unix_time())) {
            stop_recorder(recorder, unix_time());
            return kExitFailure;
        }
        sleep_until(next, settings.interval_ms);
    }
    return stop_recorder(recorder, unix_time()) ? kExitOk : kExitFailure;
}

}  // namespace
}  // namespace gorv::record

int main(int argc, char** argv) { return gorv::record::record(argc, argv, gorv::record::the_recorder); }
