// Delay from a write into a segment to its arrival on the other side, in
// both directions, with a master and N remotes on this machine. Run it
// through tests/isolated (bench/run_propagation does).
//
//   propagation [-n clients] [-t seconds] [-s size] [-r random_start] [-b bin_dir]
//
// The daemons come from this build's tree unless -b names another directory.
//
// Each of the 2N segments carries at most one write at a time: a new
// sequence number goes into word 0 of a master MO row or a remote RO
// segment at a random moment, up to one second after the previous one
// arrived, and the arrival is seen by polling word 0 of the other side's
// copy every millisecond. A write still missing after ten seconds counts as
// lost. Writes start two seconds after every link is up, so that the first
// passes, which send every segment regardless, are over.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
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
    int clients = 1;
    int seconds = 60;
    int seg_size = 0;
    unsigned random_start = 1;  // where the random moments and words begin
    std::string bin_dir = GORV_BIN_DIR;
};

// One direction of one client: where its writes go and where they arrive.
struct Route {
    std::byte* written;
    const std::byte* observed;
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

Options parse(int argc, char** argv) {
    Options options;
    int option;
    while ((option = getopt(argc, argv, "n:t:s:r:b:")) != -1) {
        switch (option) {
            case 'n': options.clients = std::atoi(optarg); break;
            case 't': options.seconds = std::atoi(optarg); break;
            case 's': options.seg_size = std::atoi(optarg); break;
            case 'r': options.random_start = static_cast<unsigned>(std::strtoul(optarg, nullptr, 10)); break;
            case 'b': options.bin_dir = optarg; break;
            default:
                std::fprintf(stderr, "usage: propagation [-n clients] [-t seconds] [-s size] [-r random_start] [-b bin_dir]\n");
                std::exit(2);
        }
    }
    if (options.clients < 1 || options.clients > kMaxRemotes || options.seconds < 1) {
        std::fprintf(stderr, "propagation: 1 to %d clients and at least one second\n", kMaxRemotes);
        std::exit(2);
    }
    return options;
}

// The nearest-rank value: the smallest sample that at least `fraction` of
// the samples do not exceed.
double percentile(std::vector<double> sorted, double fraction) {
    if (sorted.empty()) return 0;
    std::sort(sorted.begin(), sorted.end());
    const auto rank = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

// Attaches every area; the two directions of client i are routes i.
std::vector<Direction> routes_for(const Options& options) {
    const auto limit = seconds(10);
    const std::size_t seg_size = options.seg_size != 0 ? static_cast<std::size_t>(options.seg_size) : kDefaultSegSize;
    std::byte* master_mo = attach_when_created(kMasterMoKey, limit);
    std::byte* master_ro = attach_when_created(kMasterRoKey, limit);
    if (master_mo == nullptr || master_ro == nullptr) throw std::runtime_error("the master's areas did not appear");
    std::vector<Direction> directions{{"master to remote", {}, {}, 0}, {"remote to master", {}, {}, 0}};
    for (int id = 0; id < options.clients; ++id) {
        std::byte* remote_mo = attach_when_created(kRemoteMoKeyBase + 2 * id, limit);
        std::byte* remote_ro = attach_when_created(kRemoteRoKeyBase + 2 * id, limit);
        if (remote_mo == nullptr || remote_ro == nullptr) throw std::runtime_error("a remote's areas did not appear");
        const std::size_t row = static_cast<std::size_t>(id) * seg_size;
        directions[0].routes.push_back({master_mo + row, remote_mo});
        directions[1].routes.push_back({remote_ro, master_ro + row});
    }
    return directions;
}

void measure(std::vector<Direction>& directions, const Options& options) {
    std::mt19937 random(options.random_start);
    std::uniform_int_distribution<int> pause_ms(0, 999);
    const auto start = Clock::now();
    const auto stop_writing = start + seconds(options.seconds);
    std::uint32_t sequence = 0;
    for (Direction& direction : directions)
        for (Route& route : direction.routes) route.next_write = start + milliseconds(pause_ms(random));

    for (;;) {
        const auto now = Clock::now();
        bool busy = false;
        for (Direction& direction : directions) {
            for (Route& route : direction.routes) {
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

void report(const std::vector<Direction>& directions, const Options& options, const LinkUpTimes& link_up) {
    std::printf("clients %d, segment %d bytes, writes for %d s; links up after %.1f s (master to remotes), "
                "%.1f s (remotes to master)\n",
                options.clients, options.seg_size != 0 ? options.seg_size : kDefaultSegSize, options.seconds,
                to_ms(link_up.master_to_remotes) / 1000, to_ms(link_up.remotes_to_master) / 1000);
    std::printf("%-18s %8s %8s %8s %8s %8s %6s\n", "direction", "samples", "min ms", "p50 ms", "p99 ms", "max ms",
                "lost");
    for (const Direction& direction : directions) {
        const std::vector<double>& delays = direction.delays_ms;
        std::printf("%-18s %8zu %8.1f %8.1f %8.1f %8.1f %6d\n", direction.name, delays.size(),
                    percentile(delays, 0), percentile(delays, 0.5), percentile(delays, 0.99),
                    percentile(delays, 1), direction.lost);
    }
}

int run(int argc, char** argv) {
    const Options options = parse(argc, argv);
    const auto started = Clock::now();
    Daemons daemons(options.bin_dir, options.clients, options.seg_size);
    std::vector<Direction> directions = routes_for(options);
    // The master's sender links its rows one by one, a second apart.
    const LinkUpTimes link_up = wait_for_links(options.clients, started, seconds(60 + 3 * options.clients));
    if (link_up.master_to_remotes == Clock::duration{} || link_up.remotes_to_master == Clock::duration{}) {
        std::fprintf(stderr, "propagation: not every link came up\n");
        return 1;
    }
    sleep_for(seconds(2));
    measure(directions, options);
    report(directions, options, link_up);
    return 0;
}

}  // namespace
}  // namespace gorv::bench

int main(int argc, char** argv) {
    try {
        return gorv::bench::run(argc, argv);
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "propagation: %s\n", failure.what());
        return 1;
    }
}
