// Delay from a write into a segment to its arrival on the other side, in
// both directions, with a master and N remotes on this machine. Run it
// through tests/isolated (bench/run_propagation does).
//
//   propagation [-n clients] [-t seconds] [-s size] [-k] [-f] [-r random_start] [-b bin_dir]
//
// The daemons come from this build's tree unless -b names another directory;
// -k runs both sides in service mode.
//
// Each of the 2N segments carries at most one write at a time: a new
// sequence number goes into word 0 of a master MO row or a remote RO
// segment at a random moment, up to one second after the previous one
// arrived, and the arrival is seen by polling word 0 of the other side's
// copy every millisecond. A write still missing after ten seconds counts as
// lost, and as an endless delay in the percentiles. Writes start two
// seconds after every link is up, so that the first passes, which send
// every segment regardless, are over.
//
// -f measures twice in the same run: first with every remote running, then
// with the last remote frozen (SIGSTOP on its process group) from the start
// of the second measurement, while the master's row for it changes every
// millisecond, so that the sockets toward it fill (large segments, -s, fill
// them sooner); the frozen row is left out of the second figures. It also
// reports how many bytes those sockets held, and after SIGCONT how soon the
// frozen remote holds the row's newest contents.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/daemons.h"
#include "common/constants.h"

namespace gorv::bench {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;


struct Options {
    System system{GORV_BIN_DIR, 1};
    int seconds = 60;
    bool freeze = false;
    unsigned random_start = 1;  // where the random moments and words begin
};

// What a route does during a measurement.
enum class Use {
    kMeasured,
    kChurned,  // a new word every step, never timed: the frozen remote's row on the master
    kIdle,     // the frozen remote's own segment, which cannot leave it
};

// One direction of one client: where its writes go and where they arrive.
struct Route {
    std::byte* written;
    const std::byte* observed;
    Use use = Use::kMeasured;
    std::uint32_t in_flight = 0;  // the sequence number on its way, 0 for none
    Clock::time_point written_at{};
    Clock::time_point next_write{};
};

struct Direction {
    const char* name;
    std::vector<Route> routes;
    std::vector<double> delays_ms;
    int lost = 0;
};

constexpr char kUsage[] =
    "usage: propagation [-n clients] [-t seconds] [-s size] [-k] [-f] [-r random_start] [-b bin_dir]\n";

Options parse(int argc, char** argv) {
    Options options;
    int option;
    while ((option = getopt(argc, argv, "n:t:s:kfr:b:")) != -1) {
        if (take_system_option(option, optarg, options.system)) continue;
        switch (option) {
            case 't': options.seconds = std::atoi(optarg); break;
            case 'f': options.freeze = true; break;
            case 'r': options.random_start = static_cast<unsigned>(std::strtoul(optarg, nullptr, 10)); break;
            default: std::fprintf(stderr, "%s", kUsage); std::exit(2);
        }
    }
    std::string refusal = system_refusal(options.system);
    if (refusal.empty() && options.seconds < 1) refusal = "at least one second";
    if (refusal.empty() && options.freeze && options.system.clients < 2) refusal = "-f needs at least 2 clients";
    if (!refusal.empty()) {
        std::fprintf(stderr, "propagation: %s\n", refusal.c_str());
        std::exit(2);
    }
    return options;
}

// Attaches every area; the two directions of client i are routes i.
std::vector<Direction> routes_for(const Options& options) {
    const auto limit = seconds(10);
    const std::size_t seg_size =
        options.system.seg_size != 0 ? static_cast<std::size_t>(options.system.seg_size) : kDefaultSegSize;
    std::byte* master_mo = attach_when_created(kMasterMoKey, limit);
    std::byte* master_ro = attach_when_created(kMasterRoKey, limit);
    if (master_mo == nullptr || master_ro == nullptr) throw std::runtime_error("the master's areas did not appear");
    std::vector<Direction> directions{{"master to remote", {}, {}, 0}, {"remote to master", {}, {}, 0}};
    for (int id = 0; id < options.system.clients; ++id) {
        std::byte* remote_mo = attach_when_created(kRemoteMoKeyBase + 2 * id, limit);
        std::byte* remote_ro = attach_when_created(kRemoteRoKeyBase + 2 * id, limit);
        if (remote_mo == nullptr || remote_ro == nullptr) throw std::runtime_error("a remote's areas did not appear");
        const std::size_t row = static_cast<std::size_t>(id) * seg_size;
        directions[0].routes.push_back({master_mo + row, remote_mo});
        directions[1].routes.push_back({remote_ro, master_ro + row});
    }
    return directions;
}

// Bytes on their way to a receiver's port: sent and not yet acknowledged or
// received and not yet read.
long queued_toward(std::uint16_t port) {
    long queued = 0;
    for (const TcpSocket& socket : tcp_sockets()) {
        if (socket.remote_port == port) queued += socket.send_queue;
        if (socket.local_port == port) queued += socket.receive_queue;
    }
    return queued;
}

// The bytes waiting in the sockets toward one port, sampled once a second.
struct QueueWatch {
    std::uint16_t port;
    long most = 0;
    Clock::duration most_at{};  // from the start of the measurement
    long last = 0;
};

// Writes and times for `window`, then waits for the writes on their way.
// The sequence numbers go on from one call to the next.
void measure(std::vector<Direction>& directions, Clock::duration window, std::mt19937& random,
             std::uint32_t& sequence, QueueWatch* watch = nullptr) {
    std::uniform_int_distribution<int> pause_ms(0, 999);
    const auto start = Clock::now();
    const auto stop_writing = start + window;
    for (Direction& direction : directions) {
        direction.delays_ms.clear();
        direction.lost = 0;
        for (Route& route : direction.routes) route.next_write = start + milliseconds(pause_ms(random));
    }

    auto next_sample = start;
    Progress progress("writing and timing",
                      static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(window).count()));
    for (;;) {
        progress.tick();
        const auto now = Clock::now();
        if (watch != nullptr && now >= next_sample) {
            watch->last = queued_toward(watch->port);
            if (watch->last > watch->most) {
                watch->most = watch->last;
                watch->most_at = now - start;
            }
            next_sample += seconds(1);
        }
        bool busy = false;
        for (Direction& direction : directions) {
            for (Route& route : direction.routes) {
                if (route.use == Use::kChurned && now < stop_writing) store_first_word(route.written, ++sequence);
                if (route.use != Use::kMeasured) continue;
                if (route.in_flight != 0 && load_first_word(route.observed) == route.in_flight) {
                    direction.delays_ms.push_back(to_ms(now - route.written_at));
                    route.in_flight = 0;
                    route.next_write = now + milliseconds(pause_ms(random));
                } else if (route.in_flight != 0 && now - route.written_at > seconds(10)) {
                    ++direction.lost;
                    route.in_flight = 0;
                    route.next_write = now;
                }
                if (route.in_flight == 0 && now >= route.next_write && now < stop_writing) {
                    route.in_flight = ++sequence;
                    route.written_at = Clock::now();
                    store_first_word(route.written, route.in_flight);
                }
                busy = busy || route.in_flight != 0;
            }
        }
        if (!busy && now >= stop_writing) return;
        sleep_for(milliseconds(1));
    }
}

// The delays with each lost write counted as an endless one, for the
// percentiles.
std::vector<double> delays_with_lost(const Direction& direction) {
    std::vector<double> delays = direction.delays_ms;
    delays.insert(delays.end(), static_cast<std::size_t>(direction.lost), std::numeric_limits<double>::infinity());
    return delays;
}

void print_table(const std::vector<Direction>& directions, const char* title) {
    if (title != nullptr) std::printf("%s\n", title);
    std::printf("%-18s %8s %8s %8s %8s %8s %6s\n", "direction", "samples", "min ms", "p50 ms", "p99 ms", "max ms",
                "lost");
    for (const Direction& direction : directions) {
        const std::vector<double> delays = delays_with_lost(direction);
        std::printf("%-18s %8zu %8.1f %8.1f %8.1f %8.1f %6d\n", direction.name, direction.delays_ms.size(),
                    percentile(delays, 0), percentile(delays, 0.5), percentile(delays, 0.99),
                    percentile(delays, 1), direction.lost);
    }
}

// Freezes the last remote and measures the others; prints the figures next
// to `running`, the same run's figures with every remote running.
void measure_frozen(std::vector<Direction>& directions, const std::vector<Direction>& running, Daemons& daemons,
                    const Options& options, std::mt19937& random, std::uint32_t& sequence) {
    const int frozen = options.system.clients - 1;
    Route& frozen_row = directions[0].routes.back();
    frozen_row.use = Use::kChurned;
    directions[1].routes.back().use = Use::kIdle;
    daemons.signal(frozen, SIGSTOP);
    QueueWatch watch{static_cast<std::uint16_t>(kRemoteListenBase + frozen)};
    measure(directions, seconds(options.seconds), random, sequence, &watch);
    const RowLinks frozen_links = read_link_state(options.system.clients).back();

    const std::uint32_t newest = load_first_word(frozen_row.written);
    daemons.signal(frozen, SIGCONT);
    const auto thawed = Clock::now();
    while (load_first_word(frozen_row.observed) != newest && Clock::now() - thawed < seconds(10))
        sleep_for(milliseconds(1));
    const bool caught_up = load_first_word(frozen_row.observed) == newest;

    std::printf("\n");
    print_table(directions, ("with remote " + std::to_string(frozen) + " frozen (its row left out)").c_str());
    std::printf("\n%-18s %14s %14s %8s\n", "direction", "p99 frozen ms", "p99 running ms", "ratio");
    for (std::size_t index = 0; index < directions.size(); ++index) {
        const double with_frozen = percentile(delays_with_lost(directions[index]), 0.99);
        const double all_running = percentile(delays_with_lost(running[index]), 0.99);
        std::printf("%-18s %14.1f %14.1f %8.2f\n", directions[index].name, with_frozen, all_running,
                    with_frozen / all_running);
    }
    std::printf("\nthe sockets toward the frozen remote held at most %ld bytes, %.0f s after the freeze; "
                "%ld bytes at the end\n",
                watch.most, to_ms(watch.most_at) / 1000, watch.last);
    if (options.system.service)
        std::printf("the link state file said of its row while frozen: to_remote %s, from_remote %s, relinks %ld\n",
                    frozen_links.to_remote ? "up" : "down", frozen_links.from_remote ? "up" : "down",
                    frozen_links.relinks);
    if (caught_up)
        std::printf("after SIGCONT it held the row's newest contents in %.1f ms\n", to_ms(Clock::now() - thawed));
    else
        std::printf("after SIGCONT it did not hold the row's newest contents within 10 s\n");
}

int run(int argc, char** argv) {
    const Options options = parse(argc, argv);
    const auto started = Clock::now();
    Daemons daemons(options.system);
    std::vector<Direction> directions = routes_for(options);
    const LinkUpTimes link_up = wait_for_links(options.system, started);
    if (!link_up.complete()) {
        std::fprintf(stderr, "propagation: not every link came up\n");
        return 1;
    }
    sleep_for(seconds(2));
    std::mt19937 random(options.random_start);
    std::uint32_t sequence = 0;
    measure(directions, seconds(options.seconds), random, sequence);

    std::printf("clients %d, segment %d bytes, %s mode, writes for %d s; links up after %.1f s (master to remotes), "
                "%.1f s (remotes to master)\n",
                options.system.clients, options.system.seg_size != 0 ? options.system.seg_size : kDefaultSegSize,
                options.system.service ? "service" : "specified", options.seconds,
                to_ms(link_up.master_to_remotes) / 1000, to_ms(link_up.remotes_to_master) / 1000);
    print_table(directions, options.freeze ? "with every remote running" : nullptr);
    if (options.freeze) {
        const std::vector<Direction> running = directions;
        measure_frozen(directions, running, daemons, options, random, sequence);
    }
    std::printf("at the end: %s\n", load_line().c_str());
    return 0;
}

}  // namespace
}  // namespace gorv::bench

int main(int argc, char** argv) { return gorv::bench::run_benchmark("propagation", gorv::bench::run, argc, argv); }
