// How soon links come back in service mode after a remote or the master is
// killed (SIGKILL on its process group) and started again, with a master and
// N remotes on this machine. Run it through tests/isolated (bench/run_service
// does).
//
//   relink [-n clients] [-r restarts] [-s size] [-v] [-b bin_dir]
//
// Both sides always run with -k. Each restart is timed from the restarted
// daemon's start: until every receiver port of that daemon listens, until
// the master's link state file shows the links of the restarted remote (or
// of every row, after a master restart) up in each direction and in both,
// and until the segments are in step again both ways.
// Before each kill, fresh words go into word 0 of the segments concerned and
// the benchmark waits until they have arrived on the other side; after the
// kill, the copies that the restarted daemon will hold (or, for the master,
// the copies that the remotes hold) are made stale, so that only the whole
// segments that each side sends after linking can bring them in step:
//
//   remote i restarted: its MO copy is zeroed, and must come back to the
//     master's row i; the master's RO row i is zeroed, and must come back
//     to the remote's RO segment, which a remote keeps across restarts.
//   master restarted: it zeroes its areas on start, so every remote's MO
//     copy must become zero and every master RO row must come back to that
//     remote's RO segment.
//
// Remote restarts take rows 0, 1, 2, ... in turn. -v prints every restart.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "bench/daemons.h"
#include "common/constants.h"

namespace gorv::bench {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr auto kRelinkLimit = seconds(15);

struct Options {
    System system{GORV_BIN_DIR, 64, 0, true};
    int restarts = 20;
    bool verbose = false;
};

Options parse(int argc, char** argv) {
    Options options;
    int option;
    while ((option = getopt(argc, argv, "n:r:s:vb:")) != -1) {
        if (take_system_option(option, optarg, options.system)) continue;
        switch (option) {
            case 'r': options.restarts = std::atoi(optarg); break;
            case 'v': options.verbose = true; break;
            default:
                std::fprintf(stderr, "usage: relink [-n clients] [-r restarts] [-s size] [-v] [-b bin_dir]\n");
                std::exit(2);
        }
    }
    std::string refusal = system_refusal(options.system);
    if (refusal.empty() && options.restarts < 1) refusal = "at least one restart";
    if (!refusal.empty()) {
        std::fprintf(stderr, "relink: %s\n", refusal.c_str());
        std::exit(2);
    }
    return options;
}

// Word 0 of both copies of every client's two segments.
struct Segments {
    std::vector<std::byte*> master_mo;  // row i of each master area
    std::vector<std::byte*> master_ro;
    std::vector<std::byte*> remote_mo;  // client i's own areas
    std::vector<std::byte*> remote_ro;
};

Segments attach_all(const System& system) {
    const auto limit = seconds(10);
    const std::size_t seg_size = system.seg_size != 0 ? static_cast<std::size_t>(system.seg_size) : kDefaultSegSize;
    std::byte* master_mo = attach_when_created(kMasterMoKey, limit);
    std::byte* master_ro = attach_when_created(kMasterRoKey, limit);
    if (master_mo == nullptr || master_ro == nullptr) throw std::runtime_error("the master's areas did not appear");
    Segments segments;
    for (int id = 0; id < system.clients; ++id) {
        const std::size_t row = static_cast<std::size_t>(id) * seg_size;
        segments.master_mo.push_back(master_mo + row);
        segments.master_ro.push_back(master_ro + row);
        segments.remote_mo.push_back(attach_when_created(kRemoteMoKeyBase + 2 * id, limit));
        segments.remote_ro.push_back(attach_when_created(kRemoteRoKeyBase + 2 * id, limit));
        if (segments.remote_mo.back() == nullptr || segments.remote_ro.back() == nullptr)
            throw std::runtime_error("a remote's areas did not appear");
    }
    return segments;
}

// Polls `done` every two milliseconds until it holds, at most `limit`.
template <typename Condition>
bool wait_until(Clock::duration limit, Condition done) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() >= deadline) return false;
        sleep_for(milliseconds(2));
    }
    return true;
}

// Whether word 0 of both segments of every given row is the same on both sides.
bool in_step(const Segments& segments, const std::vector<int>& rows) {
    for (const int row : rows) {
        const auto at = static_cast<std::size_t>(row);
        if (load_first_word(segments.remote_mo[at]) != load_first_word(segments.master_mo[at]) ||
            load_first_word(segments.master_ro[at]) != load_first_word(segments.remote_ro[at]))
            return false;
    }
    return true;
}

// Fresh words into both segments of the given rows, then waits until they
// arrived; false when they did not within ten seconds.
bool prime(Segments& segments, const std::vector<int>& rows, std::uint32_t& sequence) {
    for (const int row : rows) {
        store_first_word(segments.master_mo[static_cast<std::size_t>(row)], ++sequence);
        store_first_word(segments.remote_ro[static_cast<std::size_t>(row)], ++sequence);
    }
    return wait_until(seconds(10), [&] { return in_step(segments, rows); });
}

// The times from a restart to the restarted daemon's receivers listening,
// to each direction's links and then both being up, and to the segments
// being in step; nullopt for what did not happen within the limit.
struct Relink {
    std::optional<Clock::duration> listening;
    std::optional<Clock::duration> to_remote;
    std::optional<Clock::duration> from_remote;
    std::optional<Clock::duration> linked;
    std::optional<Clock::duration> in_step;
};

// Which directions of a row the link state file shows linked again.
struct LinkedAgain {
    bool to_remote;
    bool from_remote;
};

// Waits for the given rows: `linked_again` reads a row of the link state
// file, `ports` are the restarted daemon's listening ports.
template <typename LinkedAgainFn>
Relink time_relink(const Segments& segments, const std::vector<int>& rows, int clients, Clock::time_point started,
                   std::uint16_t first_port, int ports, LinkedAgainFn linked_again) {
    Relink relink;
    // Each figure is read only until it is known: /proc/net/tcp holds every
    // link of the earlier daemons still closing, and its reading costs.
    wait_until(kRelinkLimit, [&] {
        const auto since_start = Clock::now() - started;
        if (!relink.listening && listening_ports(first_port, ports) == ports) relink.listening = since_start;
        if (!relink.linked) {
            const std::vector<RowLinks> state = read_link_state(clients);
            bool to_remote = true;
            bool from_remote = true;
            for (const int row : rows) {
                const LinkedAgain again = linked_again(state[static_cast<std::size_t>(row)]);
                to_remote = to_remote && again.to_remote;
                from_remote = from_remote && again.from_remote;
            }
            if (!relink.to_remote && to_remote) relink.to_remote = since_start;
            if (!relink.from_remote && from_remote) relink.from_remote = since_start;
            if (to_remote && from_remote) relink.linked = since_start;
        }
        if (!relink.in_step && in_step(segments, rows)) relink.in_step = since_start;
        return relink.listening && relink.linked && relink.in_step;
    });
    return relink;
}

struct Figures {
    const char* restarted;
    std::vector<double> listening_ms;
    std::vector<double> linked_ms;
    std::vector<double> linked_after_listening_ms;
    std::vector<double> in_step_ms;
    int not_primed = 0;  // restarts before which the old links did not carry fresh words
    int failed = 0;      // restarts after which links or segments did not come back within the limit
};

double ms_or_none(const std::optional<Clock::duration>& time) { return time ? to_ms(*time) : -1.0; }

void record(Figures& figures, const Relink& relink, int round, bool verbose) {
    if (relink.listening) figures.listening_ms.push_back(to_ms(*relink.listening));
    if (relink.linked) figures.linked_ms.push_back(to_ms(*relink.linked));
    if (relink.listening && relink.linked)
        figures.linked_after_listening_ms.push_back(to_ms(*relink.linked - *relink.listening));
    if (relink.in_step) figures.in_step_ms.push_back(to_ms(*relink.in_step));
    if (!relink.listening || !relink.linked || !relink.in_step) ++figures.failed;
    if (verbose)
        std::printf("%s restart %d: listening %.1f ms, to_remote %.1f ms, from_remote %.1f ms, linked %.1f ms, "
                    "in step %.1f ms\n",
                    figures.restarted, round, ms_or_none(relink.listening), ms_or_none(relink.to_remote),
                    ms_or_none(relink.from_remote), ms_or_none(relink.linked), ms_or_none(relink.in_step));
}

Figures restart_remotes(Daemons& daemons, Segments& segments, const Options& options, std::uint32_t& sequence) {
    Figures figures{"remote", {}, {}, {}, {}, 0, 0};
    Progress progress("remote restarts");
    for (int round = 0; round < options.restarts; ++round) {
        progress.tick(std::to_string(round) + " of " + std::to_string(options.restarts) + " done");
        const int row = round % options.system.clients;
        const auto at = static_cast<std::size_t>(row);
        if (!prime(segments, {row}, sequence)) ++figures.not_primed;
        const long relinks_before = read_link_state(options.system.clients)[at].relinks;
        daemons.end(row);
        store_first_word(segments.remote_mo[at], 0);
        store_first_word(segments.master_ro[at], 0);
        const auto started = daemons.start(row);
        // The file counts a relink for each direction that comes up again,
        // so a row is linked again once it has counted two since the kill
        // and shows both directions up; which came first it cannot say.
        const Relink relink = time_relink(
            segments, {row}, options.system.clients, started, static_cast<std::uint16_t>(kRemoteListenBase + row), 1,
            [&](const RowLinks& links) {
                const bool both = links.relinks >= relinks_before + 2 && links.to_remote && links.from_remote;
                return LinkedAgain{both, both};
            });
        record(figures, relink, round, options.verbose);
    }
    return figures;
}

Figures restart_master(Daemons& daemons, Segments& segments, const Options& options, std::uint32_t& sequence) {
    Figures figures{"master", {}, {}, {}, {}, 0, 0};
    std::vector<int> rows;
    for (int row = 0; row < options.system.clients; ++row) rows.push_back(row);
    Progress progress("master restarts");
    for (int round = 0; round < options.restarts; ++round) {
        progress.tick(std::to_string(round) + " of " + std::to_string(options.restarts) + " done");
        if (!prime(segments, rows, sequence)) ++figures.not_primed;
        daemons.end(Daemons::kMaster);
        // The new master writes a file of its own; the old one's would show
        // every row up.
        unlink(kMasterLinksPath);
        for (std::byte* row : segments.master_ro) store_first_word(row, 0);
        const auto started = daemons.start(Daemons::kMaster);
        const Relink relink =
            time_relink(segments, rows, options.system.clients, started, kMasterListenBase, options.system.clients,
                        [](const RowLinks& links) { return LinkedAgain{links.to_remote, links.from_remote}; });
        record(figures, relink, round, options.verbose);
    }
    return figures;
}

// p50 and max of each figure.
void print_figures(const Figures& figures) {
    std::printf("%s restarts: %zu (%d not primed, %d failed)\n", figures.restarted, figures.linked_ms.size(),
                figures.not_primed, figures.failed);
    const std::pair<const char*, const std::vector<double>*> rows[] = {
        {"receivers listening", &figures.listening_ms},
        {"linked", &figures.linked_ms},
        {"linked after listening", &figures.linked_after_listening_ms},
        {"in step", &figures.in_step_ms},
    };
    for (const auto& [name, samples] : rows)
        std::printf("  %-24s p50 %7.1f ms   max %7.1f ms\n", name, percentile(*samples, 0.5), percentile(*samples, 1));
}

int run(int argc, char** argv) {
    const Options options = parse(argc, argv);
    Daemons daemons(options.system);
    Segments segments = attach_all(options.system);
    const LinkUpTimes link_up = wait_for_links(options.system, daemons.last_start());
    if (!link_up.complete()) {
        std::fprintf(stderr, "relink: not every link came up\n");
        return 1;
    }
    sleep_for(seconds(2));  // the first passes, which send every segment
    std::uint32_t sequence = 0;
    const Figures remote = restart_remotes(daemons, segments, options, sequence);
    const Figures master = restart_master(daemons, segments, options, sequence);

    std::printf("clients %d, segment %d bytes, service mode, %d restarts of each; links first up after %.1f s\n",
                options.system.clients, options.system.seg_size != 0 ? options.system.seg_size : kDefaultSegSize,
                options.restarts,
                to_ms(std::max(link_up.master_to_remotes, link_up.remotes_to_master)) / 1000);
    print_figures(remote);
    print_figures(master);
    std::printf("(from the restarted daemon's start; linked after listening from the moment every receiver port\n"
                " of the restarted daemon was listening)\n");
    std::printf("at the end: %s\n", load_line().c_str());
    return 0;
}

}  // namespace
}  // namespace gorv::bench

int main(int argc, char** argv) { return gorv::bench::run_benchmark("relink", gorv::bench::run, argc, argv); }
