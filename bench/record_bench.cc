// ostrela_record with a master of 255 rows whose every status changes every
// second: its CPU time and memory beside ostrela_monitor reading the same
// area (the baseline), and how fast its record file grows. Run it through
// tests/isolated (bench/run_record does).
//
//   record_bench [-t seconds] [-b bin_dir]
//
// No remote runs: the statuses are written straight into the master's RO
// area, as its receivers would. CPU and Pss are measured as dashboard_bench
// measures them; the growth is the file's pages (PRAGMA page_count, so that
// the WAL file's frames do not count) over -t seconds (default 60).
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/daemons.h"
#include "common/constants.h"
#include "tools/client_records.h"

namespace gorv::bench {
namespace {

using std::chrono::seconds;

constexpr char kRecordFile[] = "/tmp/record_bench.db";

long long record_bytes() {
    sqlite3* db = nullptr;
    long long bytes = -1;
    if (sqlite3_open_v2(kRecordFile, &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* query = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT page_count * page_size FROM pragma_page_count(), pragma_page_size()", -1,
                               &query, nullptr) == SQLITE_OK &&
            sqlite3_step(query) == SQLITE_ROW)
            bytes = sqlite3_column_int64(query, 0);
        sqlite3_finalize(query);
    }
    sqlite3_close(db);
    return bytes;
}

int run(int argc, char** argv) {
    int window = 60;
    std::string bin_dir = GORV_BIN_DIR;
    for (int option; (option = getopt(argc, argv, "t:b:")) != -1;) {
        if (option == 't')
            window = std::atoi(optarg);
        else if (option == 'b')
            bin_dir = optarg;
        else
            throw std::runtime_error("usage: record_bench [-t seconds] [-b bin_dir]");
    }
    Daemons daemons(System{bin_dir, kMaxRemotes, 0, false, 0});
    std::byte* master_ro = attach_when_created(kMasterRoKey, seconds(10));
    if (master_ro == nullptr) throw std::runtime_error("the master's RO area did not appear");

    std::atomic<bool> writing{true};
    std::thread writer([&] {
        for (int second = 0; writing; ++second) {
            for (int row = 0; row < kMaxRemotes; ++row) {
                const tools::StatusRecord record{.req_op_rate = 100,
                                                 .cur_op_rate = 100.0 + (row + second) % 7,
                                                 .run_time = double(second),
                                                 .rt = 0.5 + (second % 5) / 10.0,
                                                 .wt = 0.75,
                                                 .phase = tools::kPhaseRun};
                std::memcpy(master_ro + static_cast<std::size_t>(row) * kDefaultSegSize, &record, sizeof record);
            }
            sleep_for(seconds(1));
        }
    });
    unlink(kRecordFile);
    Tool recorder({bin_dir + "/ostrela_record", "-o", kRecordFile});
    Tool monitor({bin_dir + "/ostrela_monitor"});
    sleep_for(seconds(3));

    const pid_t programs[] = {recorder.pid, monitor.pid};
    long long cpu_before[2];
    for (int i = 0; i < 2; ++i) cpu_before[i] = threads_cpu_ns(programs[i]);
    const long long bytes_before = record_bytes();
    const auto start = Clock::now();
    sleep_for(seconds(window));
    const double elapsed = to_ms(Clock::now() - start) / 1000;
    const long long bytes_after = record_bytes();
    double cpu_ms[2];
    long pss_kb[2];
    for (int i = 0; i < 2; ++i) {
        cpu_ms[i] = static_cast<double>(threads_cpu_ns(programs[i]) - cpu_before[i]) / 1e6 / elapsed;
        pss_kb[i] = kb_field("/proc/" + std::to_string(programs[i]) + "/smaps_rollup", "Pss");
    }
    writing = false;
    writer.join();

    std::printf("255 clients, every status changing every second, over %d s\n", window);
    std::printf("ostrela_record   CPU %6.2f ms a second (%.3f %% of one core), Pss %6.1f MiB\n", cpu_ms[0],
                cpu_ms[0] / 10, static_cast<double>(pss_kb[0]) / 1024);
    std::printf("ostrela_monitor  CPU %6.2f ms a second (%.3f %% of one core), Pss %6.1f MiB\n", cpu_ms[1],
                cpu_ms[1] / 10, static_cast<double>(pss_kb[1]) / 1024);
    std::printf("record / monitor: CPU %.1f x, Pss %.1f x\n", cpu_ms[0] / cpu_ms[1],
                static_cast<double>(pss_kb[0]) / static_cast<double>(pss_kb[1]));
    std::printf("record file: %lld bytes more in %.0f s, %.1f MiB an hour\n", bytes_after - bytes_before, elapsed,
                static_cast<double>(bytes_after - bytes_before) / elapsed * 3600 / (1024 * 1024));
    return 0;
}

}  // namespace
}  // namespace gorv::bench

int main(int argc, char** argv) { return gorv::bench::run_benchmark("record_bench", gorv::bench::run, argc, argv); }
