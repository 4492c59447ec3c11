// A master with a row per client and one remote per row on this machine:
// how long until every link is up, how much memory all daemon processes
// take, and how much CPU they use while nothing changes and while every
// segment changes every second. Run it through tests/isolated
// (bench/run_scale does).
//
//   scale [-n clients] [-t seconds] [-s size] [-k] [-b bin_dir]
//
// -k runs both sides in service mode, which links every row at once.
// Link-up is timed from the first daemon's start and from the last one's.
//
// Memory is the sum of Pss over every daemon process (from
// /proc/<pid>/smaps_rollup), so pages that processes share, the segment
// areas among them, are counted once. CPU is the time the processes spent
// on a CPU over a window of -t seconds (default 20), from
// /proc/<pid>/schedstat, as CPU time a second and as a share of one core,
// and how many times a second the processes were put on a CPU (about their
// wake-ups), which other work on the machine does not change.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/daemons.h"
#include "common/constants.h"

namespace gorv::bench {
namespace {

using std::chrono::seconds;

struct Options {
    System system{GORV_BIN_DIR, kMaxRemotes};
    int seconds = 20;
};

Options parse(int argc, char** argv) {
    Options options;
    int option;
    while ((option = getopt(argc, argv, "n:t:s:kb:")) != -1) {
        if (take_system_option(option, optarg, options.system)) continue;
        if (option == 't') {
            options.seconds = std::atoi(optarg);
            continue;
        }
        std::fprintf(stderr, "usage: scale [-n clients] [-t seconds] [-s size] [-k] [-b bin_dir]\n");
        std::exit(2);
    }
    std::string refusal = system_refusal(options.system);
    if (refusal.empty() && options.seconds < 1) refusal = "at least one second";
    if (!refusal.empty()) {
        std::fprintf(stderr, "scale: %s\n", refusal.c_str());
        std::exit(2);
    }
    return options;
}

// What a process has run so far: the first and third fields of
// /proc/<pid>/schedstat; zeros when it has gone.
struct OnCpu {
    long long ns = 0;    // time spent on a CPU
    long long runs = 0;  // times it was put on a CPU: its wake-ups, about
};

OnCpu on_cpu(pid_t pid) {
    std::ifstream schedstat("/proc/" + std::to_string(pid) + "/schedstat");
    OnCpu ran;
    long long waited = 0;
    schedstat >> ran.ns >> waited >> ran.runs;
    return ran;
}

OnCpu total_on_cpu(const std::vector<pid_t>& processes) {
    OnCpu total;
    for (const pid_t pid : processes) {
        const OnCpu ran = on_cpu(pid);
        total.ns += ran.ns;
        total.runs += ran.runs;
    }
    return total;
}

// Every MO row on the master and every remote's RO segment.
struct Writable {
    std::vector<std::byte*> segments;
};

Writable writable_segments(const Options& options) {
    const auto limit = seconds(10);
    const std::size_t seg_size =
        options.system.seg_size != 0 ? static_cast<std::size_t>(options.system.seg_size) : kDefaultSegSize;
    std::byte* master_mo = attach_when_created(kMasterMoKey, limit);
    if (master_mo == nullptr) throw std::runtime_error("the master's MO area did not appear");
    Writable writable;
    for (int id = 0; id < options.system.clients; ++id) {
        std::byte* remote_ro = attach_when_created(kRemoteRoKeyBase + 2 * id, limit);
        if (remote_ro == nullptr) throw std::runtime_error("a remote's RO area did not appear");
        writable.segments.push_back(master_mo + static_cast<std::size_t>(id) * seg_size);
        writable.segments.push_back(remote_ro);
    }
    return writable;
}

// CPU use over a window, a second's worth.
struct CpuUse {
    double share = 0;  // of one core
    double runs = 0;
};

// What the processes used over the window; when `writes` is given, every
// segment gets a new word 0 once a second meanwhile.
CpuUse cpu_use(const std::vector<pid_t>& processes, int window, Writable* writes) {
    const OnCpu before = total_on_cpu(processes);
    const auto start = Clock::now();
    Progress progress(writes != nullptr ? "CPU, every segment changing" : "CPU, nothing changing", window);
    for (int second = 0; second < window; ++second) {
        progress.tick();
        if (writes != nullptr)
            for (std::byte* segment : writes->segments) store_first_word(segment, load_first_word(segment) + 1);
        sleep_for(start + seconds(second + 1) - Clock::now());
    }
    const double elapsed = to_ms(Clock::now() - start) / 1000;
    const OnCpu after = total_on_cpu(processes);
    return {static_cast<double>(after.ns - before.ns) / 1e9 / elapsed,
            static_cast<double>(after.runs - before.runs) / elapsed};
}

int run(int argc, char** argv) {
    const Options options = parse(argc, argv);
    const auto started = Clock::now();
    Daemons daemons(options.system);
    const auto last_started = daemons.last_start();
    Writable writable = writable_segments(options);
    const LinkUpTimes link_up = wait_for_links(options.system, started);
    if (!link_up.complete()) {
        std::fprintf(stderr, "scale: not every link came up\n");
        return 1;
    }
    sleep_for(seconds(3));  // the first passes, which send every segment

    const std::vector<pid_t> processes = daemons.processes();
    long pss_kb = 0;
    long shared_pss_kb = 0;
    for (const pid_t pid : processes) {
        const std::string rollup = "/proc/" + std::to_string(pid) + "/smaps_rollup";
        pss_kb += kb_field(rollup, "Pss");
        shared_pss_kb += kb_field(rollup, "Pss_Shmem");
    }
    const CpuUse idle = cpu_use(processes, options.seconds, nullptr);
    const CpuUse busy = cpu_use(processes, options.seconds, &writable);

    const int seg_size = options.system.seg_size != 0 ? options.system.seg_size : kDefaultSegSize;
    const double since_last_s = to_ms(last_started - started) / 1000;
    std::printf("clients %d, segment %d bytes, %s mode, %zu daemon processes\n", options.system.clients, seg_size,
                options.system.service ? "service" : "specified", processes.size());
    std::printf("links up after     %8.1f s master to remotes, %.1f s remotes to master\n",
                to_ms(link_up.master_to_remotes) / 1000, to_ms(link_up.remotes_to_master) / 1000);
    std::printf("  from the last daemon's start (%.2f s after the first): %.2f s and %.2f s\n", since_last_s,
                to_ms(link_up.master_to_remotes) / 1000 - since_last_s,
                to_ms(link_up.remotes_to_master) / 1000 - since_last_s);
    std::printf("memory (sum of Pss) %7.1f MiB, of it shared memory %.1f MiB; %.0f KiB a process\n",
                static_cast<double>(pss_kb) / 1024, static_cast<double>(shared_pss_kb) / 1024,
                static_cast<double>(pss_kb) / static_cast<double>(processes.size()));
    std::printf("CPU idle           %8.1f ms a second (%.2f %% of one core) over %d s, %.0f runs a second\n",
                1000 * idle.share, 100 * idle.share, options.seconds, idle.runs);
    std::printf("CPU all changing   %8.1f ms a second (%.2f %% of one core) over %d s, %.0f runs a second, "
                "%zu segments a second\n",
                1000 * busy.share, 100 * busy.share, options.seconds, busy.runs, writable.segments.size());
    std::printf("at the end: %s\n", load_line().c_str());
    return 0;
}

}  // namespace
}  // namespace gorv::bench

int main(int argc, char** argv) { return gorv::bench::run_benchmark("scale", gorv::bench::run, argc, argv); }
