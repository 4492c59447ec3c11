// How soon rows link in service mode when one side starts well after the
// other, with a master and N remotes on this machine: the master first and
// every remote `delay` seconds later, or (-m) the remotes first and the
// master `delay` seconds later. Each row is timed from the start of its
// later daemon (its remote, or the master) until the master's link state
// file shows it up both ways. Run it through tests/isolated, one order a
// run (bench/run_late_start does).
//
//   late_start [-n clients] [-d delay_s] [-m] [-l limit_s] [-b bin_dir]
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/daemons.h"
#include "common/constants.h"

namespace gorv::bench {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

struct Options {
    System system{.bin_dir = GORV_BIN_DIR, .clients = 200, .service = true, .start_now = false};
    int delay_s = 25;
    int limit_s = 150;
    bool master_late = false;
};

Options parse(int argc, char** argv) {
    Options options;
    int option;
    while ((option = getopt(argc, argv, "n:d:ml:b:")) != -1) {
        if (take_system_option(option, optarg, options.system)) continue;
        switch (option) {
            case 'd': options.delay_s = std::atoi(optarg); break;
            case 'm': options.master_late = true; break;
            case 'l': options.limit_s = std::atoi(optarg); break;
            default:
                std::fprintf(stderr, "usage: late_start [-n clients] [-d delay_s] [-m] [-l limit_s] [-b bin_dir]\n");
                std::exit(2);
        }
    }
    std::string refusal = system_refusal(options.system);
    if (refusal.empty() && (options.delay_s < 0 || options.limit_s < 1)) refusal = "no negative delay, a limit of 1 s or more";
    if (!refusal.empty()) {
        std::fprintf(stderr, "late_start: %s\n", refusal.c_str());
        std::exit(2);
    }
    return options;
}

// When each row's later daemon started.
std::vector<Clock::time_point> start_in_order(Daemons& daemons, const Options& options) {
    const int clients = options.system.clients;
    std::vector<Clock::time_point> started(static_cast<std::size_t>(clients));
    if (options.master_late) {
        for (int id = 0; id < clients; ++id) daemons.start(id);
        sleep_for(seconds(options.delay_s));
        started.assign(started.size(), daemons.start(Daemons::kMaster));
    } else {
        daemons.start(Daemons::kMaster);
        sleep_for(seconds(options.delay_s));
        for (int id = 0; id < clients; ++id) started[static_cast<std::size_t>(id)] = daemons.start(id);
    }
    return started;
}

int run(int argc, char** argv) {
    const Options options = parse(argc, argv);
    const int clients = options.system.clients;
    Daemons daemons(options.system);
    const std::vector<Clock::time_point> started = start_in_order(daemons, options);
    std::vector<double> linked_ms;
    std::vector<bool> linked(static_cast<std::size_t>(clients), false);
    const auto deadline = started.back() + seconds(options.limit_s);
    while (static_cast<int>(linked_ms.size()) < clients && Clock::now() < deadline) {
        const auto now = Clock::now();
        const std::vector<RowLinks> rows = read_link_state(clients);
        for (std::size_t row = 0; row < rows.size(); ++row) {
            if (linked[row] || !rows[row].to_remote || !rows[row].from_remote) continue;
            linked[row] = true;
            linked_ms.push_back(to_ms(now - started[row]));
        }
        sleep_for(milliseconds(20));
    }
    std::printf("clients %d, service mode, %s started %d s after %s\n", clients,
                options.master_late ? "the master" : "the remotes", options.delay_s,
                options.master_late ? "the remotes" : "the master");
    std::printf("  rows linked %zu of %d within %d s\n", linked_ms.size(), clients, options.limit_s);
    std::printf("  linked after the later start   p50 %9.1f ms   max %9.1f ms\n", percentile(linked_ms, 0.5),
                percentile(linked_ms, 1));
    std::printf("at the end: %s\n", load_line().c_str());
    return static_cast<int>(linked_ms.size()) == clients ? 0 : 1;
}

}  // namespace
}  // namespace gorv::bench

int main(int argc, char** argv) { return gorv::bench::run_benchmark("late_start", gorv::bench::run, argc, argv); }
