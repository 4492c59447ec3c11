// ostrela_report: one self-contained HTML page of a run from a record file
// of ostrela_record, and on request the run's rows as CSV files.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "common/constants.h"
#include "record/record_file.h"
#include "record/report_page.h"
#include "record/run_csv.h"
#include "record/run_data.h"

namespace gorv::record {
namespace {

constexpr char kChartScript[] = "/usr/share/javascript/chart.js/chart.min.js";

struct Settings {
    const char* record_path = nullptr;
    std::int64_t run = 0;  // 0: the last run
    const char* out_path = "report.html";
    const char* csv_dir = nullptr;
};

void print_usage() {
    std::puts("ostrela_report FILE [-r RUN] [-o OUT.html] [-c DIR] [-h] [-v]");
    std::puts("\t-r RUN........  The run to report (default the last)");
    std::puts("\t-o OUT.html...  The page to write (default report.html)");
    std::puts("\t-c DIR........  Also write status.csv, control.csv and links.csv of the run into DIR");
    std::puts("\t-h............  Help screen");
    std::puts("\t-v............  Version");
}

int parse_options(int argc, char** argv, Settings& settings) {
    for (int option; (option = getopt(argc, argv, "r:o:c:hv")) != -1;) {
        switch (option) {
            case 'r': {
                char* end = nullptr;
                errno = 0;
                settings.run = std::strtoll(optarg, &end, 10);
                if (end == optarg || *end != '\0' || errno != 0 || settings.run < 1) {
                    std::printf("ostrela_report: run %s refused: give a run number of the record\n", optarg);
                    return kExitFailure;
                }
                break;
            }
            case 'o':
                settings.out_path = optarg;
                break;
            case 'c':
                settings.csv_dir = optarg;
                break;
            case 'h':
                print_usage();
                return kExitOk;
            case 'v':
                std::printf("ostrela_report %s\n", GORV_VERSION);
                return kExitOk;
            default:
                print_usage();
                return kExitFailure;
        }
    }
    if (optind + 1 == argc) {
        settings.record_path = argv[optind];
        return -1;
    }
    print_usage();
    return kExitFailure;
}

void show_progress(std::int32_t done, std::int32_t clients) {
    std::fprintf(stderr, "\rostrela_report: %d of %d clients", done, clients);
    if (done == clients) std::fputc('\n', stderr);
}

int report(int argc, char** argv) {
    Settings settings;
    if (const int status = parse_options(argc, argv, settings); status >= 0) return status;
    sqlite3* db = nullptr;
    std::string why;
    if (open_record_file(settings.record_path, false, db, why) != Opened::kOpen) {
        std::printf("ostrela_report: %s refused: %s\n", settings.record_path, why.c_str());
        return kExitFailure;
    }
    const auto run = load_run(db, settings.run);
    if (!run) {
        std::printf("ostrela_report: %s holds no run %lld\n", settings.record_path,
                    static_cast<long long>(settings.run));
        sqlite3_close(db);
        return kExitFailure;
    }
    if (settings.csv_dir != nullptr && !write_run_csv(db, run->run, settings.csv_dir)) {
        sqlite3_close(db);
        return kExitFailure;
    }
    sqlite3_close(db);

    std::ifstream script_file(kChartScript, std::ios::binary);
    const std::string script((std::istreambuf_iterator<char>(script_file)), std::istreambuf_iterator<char>());
    if (script.empty()) std::printf("ostrela_report: %s missing: the page has no charts\n", kChartScript);
    std::FILE* out = std::fopen(settings.out_path, "w");
    if (out == nullptr) {
        std::perror(settings.out_path);
        return kExitFailure;
    }
    write_report(out, *run, script, isatty(STDERR_FILENO) == 1 ? show_progress : nullptr);
    const bool written = std::ferror(out) == 0;
    if (std::fclose(out) != 0 || !written) {
        std::perror(settings.out_path);
        return kExitFailure;
    }
    std::printf("ostrela_report: run %lld written to %s\n", static_cast<long long>(run->run), settings.out_path);
    return kExitOk;
}

}  // namespace
}  // namespace gorv::record

int main(int argc, char** argv) { return gorv::record::report(argc, argv); }
