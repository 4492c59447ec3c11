// ostrela_dashboard with a master of 255 rows: its CPU time and memory while
// every client's status changes every second and one page follows
// /api/events, beside ostrela_monitor reading the same area (the baseline);
// and how long a status written into a remote's RO segment takes to reach
// the master's RO area and then /api/events; then how long a rate change and
// a read take with 100 connections open at once (16 event streams, 42 idle,
// 42 half-sent) beside the same requests with nothing else open, and the
// dashboard's descriptors and memory before and after. Run it through
// tests/isolated (bench/run_dashboard does).
//
//   dashboard_bench [-t seconds] [-n samples] [-r rounds] [-b bin_dir]
//
// Only remote 0 runs: the other rows' statuses are written straight into the
// master's RO area, as their receivers would. CPU is the time every thread
// of a program spent on a CPU (/proc/<pid>/task/*/schedstat) over -t seconds
// (default 30); memory is its Pss (/proc/<pid>/smaps_rollup).
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/daemons.h"
#include "common/constants.h"
#include "tools/client_records.h"

namespace gorv::bench {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr int kPort = 8080;

struct Options {
    int seconds = 30;
    int samples = 20;
    int rounds = 10;
    std::string bin_dir = GORV_BIN_DIR;
};

Options parse(int argc, char** argv) {
    Options options;
    for (int option; (option = getopt(argc, argv, "t:n:r:b:")) != -1;) {
        switch (option) {
            case 't': options.seconds = std::atoi(optarg); break;
            case 'n': options.samples = std::atoi(optarg); break;
            case 'r': options.rounds = std::atoi(optarg); break;
            case 'b': options.bin_dir = optarg; break;
            default:
                std::fprintf(stderr, "usage: dashboard_bench [-t seconds] [-n samples] [-r rounds] [-b bin_dir]\n");
                std::exit(2);
        }
    }
    if (options.seconds < 1 || options.samples < 1 || options.rounds < 1) {
        std::fprintf(stderr, "dashboard_bench: at least one second, one sample and one round\n");
        std::exit(2);
    }
    return options;
}

void put_status(std::byte* segment, const tools::StatusRecord& record) {
    std::memcpy(segment, &record, sizeof record);
}

double cur_op_rate(const std::byte* segment) {
    tools::StatusRecord record;
    std::memcpy(&record, segment, sizeof record);
    return record.cur_op_rate;
}

// A connection to the dashboard that has sent `request` (which may be half a request or none).
int connect_with(const std::string& request) {
    const int link = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (link < 0 || connect(link, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("cannot reach the dashboard");
    if (write(link, request.data(), request.size()) != static_cast<ssize_t>(request.size()))
        throw std::runtime_error("cannot send a request");
    return link;
}

const std::string kEventsRequest = "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

// Follows /api/events and notes when the text it waits for arrives.
class EventReader {
  public:
    EventReader() {
        socket_ = connect_with(kEventsRequest);
        reader_ = std::thread([this] { read_events(); });
    }
    ~EventReader() {
        shutdown(socket_, SHUT_RDWR);
        reader_.join();
        close(socket_);
    }
    EventReader(const EventReader&) = delete;
    EventReader& operator=(const EventReader&) = delete;

    void expect(const std::string& text) {
        std::lock_guard guard(lock_);
        wanted_ = text;
        arrived_ = false;
    }
    std::optional<Clock::time_point> arrival() {
        std::lock_guard guard(lock_);
        return arrived_ ? std::optional(arrived_at_) : std::nullopt;
    }

  private:
    void read_events() {
        std::string seen;
        char buffer[65536];
        for (ssize_t got; (got = read(socket_, buffer, sizeof buffer)) > 0;) {
            const auto now = Clock::now();
            seen.append(buffer, static_cast<std::size_t>(got));
            std::lock_guard guard(lock_);
            if (!arrived_ && !wanted_.empty() && seen.find(wanted_) != std::string::npos) {
                arrived_ = true;
                arrived_at_ = now;
            }
            if (seen.size() > 128) seen.erase(0, seen.size() - 128);  // a marker may span two reads
        }
    }

    int socket_ = -1;
    std::thread reader_;
    std::mutex lock_;
    std::string wanted_;
    bool arrived_ = false;
    Clock::time_point arrived_at_;
};

struct Usage {
    double cpu_ms_a_second;
    long pss_kb;
};

std::vector<Usage> usage_over(const std::vector<pid_t>& programs, int window) {
    std::vector<long long> before;
    for (const pid_t pid : programs) before.push_back(threads_cpu_ns(pid));
    const auto start = Clock::now();
    Progress progress("CPU and memory", window);
    for (int second = 1; second <= window; ++second) {
        sleep_for(start + seconds(second) - Clock::now());
        progress.tick();
    }
    const double elapsed = to_ms(Clock::now() - start) / 1000;
    std::vector<Usage> usage;
    for (std::size_t i = 0; i < programs.size(); ++i) {
        const auto spent_ms = static_cast<double>(threads_cpu_ns(programs[i]) - before[i]) / 1e6;
        usage.push_back({spent_ms / elapsed, kb_field("/proc/" + std::to_string(programs[i]) + "/smaps_rollup", "Pss")});
    }
    return usage;
}

// Milliseconds from connecting to the end of the answer (the dashboard
// closes the connection after it); nothing when no answer came within 10 s.
std::optional<double> answer_ms(const std::string& request) {
    const auto start = Clock::now();
    const int link = connect_with(request);
    timeval limit{.tv_sec = 10, .tv_usec = 0};
    setsockopt(link, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    char buffer[65536];
    std::string head;
    ssize_t got = 0;
    while ((got = read(link, buffer, sizeof buffer)) > 0)
        if (head.size() < 12) head.append(buffer, static_cast<std::size_t>(std::min<ssize_t>(got, 12)));
    close(link);
    if (got < 0 || !head.starts_with("HTTP/1.1 200")) return std::nullopt;
    return to_ms(Clock::now() - start);
}

std::size_t descriptors_of(pid_t pid) {
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    std::size_t count = 0;
    if (DIR* dir = opendir(fds.c_str())) {
        while (const dirent* entry = readdir(dir)) count += entry->d_name[0] != '.' ? 1 : 0;
        closedir(dir);
    }
    return count;
}

struct Crowd {
    std::vector<double> alone_ms;    // POST and GET with nothing else open
    std::vector<double> crowded_ms;  // the same with 100 connections open
    int unanswered = 0;              // within 10 s, with 100 open
    // The dashboard's descriptors and private dirty memory (KiB): before, with 100 open, after
    // the first and after the second time the connections went.
    std::size_t fds[4] = {};
    long pss_kb[4] = {};
};

// Rounds of 10 POST /api/clients/0 and 10 GET /api/clients, first alone,
// then twice with 15 more streams (16 with the events reader), 42 idle and
// 42 half-sent connections open; the idle and half-sent ones are made anew
// every round, as the dashboard closes them 5 s after they came.
Crowd crowd_figures(pid_t dashboard, int rounds) {
    Crowd crowd;
    const std::string post = "POST /api/clients/0 HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                             "Content-Type: application/json\r\nContent-Length: 15\r\n\r\n{\"op_rate\": 25}";
    const std::string get = "GET /api/clients HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    const auto requests = [&](std::vector<double>& into) {
        for (int i = 0; i < 20; ++i) {
            if (const auto ms = answer_ms(i % 2 == 0 ? post : get))
                into.push_back(*ms);
            else
                ++crowd.unanswered;
        }
    };
    const std::string smaps = "/proc/" + std::to_string(dashboard) + "/smaps_rollup";
    const auto note = [&](int at) {
        crowd.fds[at] = descriptors_of(dashboard);
        crowd.pss_kb[at] = kb_field(smaps, "Private_Dirty");
    };
    note(0);
    for (int round = 0; round < rounds; ++round) requests(crowd.alone_ms);
    for (int cycle = 0; cycle < 2; ++cycle) {
        std::vector<int> streams;
        for (int i = 0; i < 15; ++i) streams.push_back(connect_with(kEventsRequest));
        for (int round = 0; round < rounds; ++round) {
            std::vector<int> waiting;
            for (int i = 0; i < 42; ++i) {
                waiting.push_back(connect_with(""));
                waiting.push_back(connect_with("GET /api/clients HTTP/1.1\r\nHost: 127.0.0.1\r\n"));
            }
            sleep_for(milliseconds(200));
            if (cycle == 0 && round == 0) note(1);
            requests(crowd.crowded_ms);
            for (const int link : waiting) close(link);
        }
        for (const int link : streams) close(link);
        sleep_for(seconds(7));  // the dashboard's side of every connection closed
        note(2 + cycle);
    }
    return crowd;
}

int run(int argc, char** argv) {
    const Options options = parse(argc, argv);
    Daemons daemons(System{options.bin_dir, kMaxRemotes, 0, false, 1});
    std::byte* master_ro = attach_when_created(kMasterRoKey, seconds(10));
    std::byte* remote_ro = attach_when_created(kRemoteRoKeyBase, seconds(10));
    if (master_ro == nullptr || remote_ro == nullptr) throw std::runtime_error("the areas did not appear");
    for (const auto deadline = Clock::now() + seconds(10); established_links(kMasterListenBase, 1) < 1;) {
        if (Clock::now() > deadline) throw std::runtime_error("remote 0 did not link to the master");
        sleep_for(milliseconds(50));
    }

    // Rows 1 to 254 run and report a new run time every second.
    std::atomic<bool> writing{true};
    std::thread writer([&] {
        for (int second = 0; writing; ++second) {
            for (int row = 1; row < kMaxRemotes; ++row)
                put_status(master_ro + static_cast<std::size_t>(row) * kDefaultSegSize,
                           {.req_op_rate = 100, .cur_op_rate = 100.0 + row % 7, .run_time = double(second),
                            .rt = 0.5, .wt = 0.75, .phase = tools::kPhaseRun});
            sleep_for(seconds(1));
        }
    });

    Tool dashboard({options.bin_dir + "/ostrela_dashboard", "-p", std::to_string(kPort)});
    Tool monitor({options.bin_dir + "/ostrela_monitor"});
    sleep_for(seconds(2));
    EventReader events;
    sleep_for(seconds(3));
    const std::vector<Usage> usage = usage_over({dashboard.pid, monitor.pid}, options.seconds);

    std::vector<double> to_area_ms;
    std::vector<double> to_events_ms;
    std::mt19937 random(12345);
    Progress progress("delays to /api/events");
    for (int sample = 0; sample < options.samples; ++sample) {
        progress.tick(std::to_string(sample) + " of " + std::to_string(options.samples) + " samples");
        sleep_for(milliseconds(std::uniform_int_distribution(0, 999)(random)));
        const double marker = 500000.25 + sample;
        char wanted[64];
        std::snprintf(wanted, sizeof wanted, "\"cur_op_rate\":%.2f", marker);
        events.expect(wanted);
        const auto written = Clock::now();
        put_status(remote_ro, {.req_op_rate = 100, .cur_op_rate = marker, .run_time = double(sample), .rt = 0.5,
                               .wt = 0.75, .phase = tools::kPhaseRun});
        const auto deadline = written + seconds(5);
        while (cur_op_rate(master_ro) != marker && Clock::now() < deadline) sleep_for(milliseconds(1));
        const auto in_area = Clock::now();
        while (!events.arrival() && Clock::now() < deadline) sleep_for(milliseconds(1));
        const auto arrived = events.arrival();
        if (!arrived || in_area >= deadline) throw std::runtime_error("a status did not arrive within 5 s");
        to_area_ms.push_back(to_ms(in_area - written));
        to_events_ms.push_back(to_ms(*arrived - written));
    }
    writing = false;
    writer.join();
    const Crowd crowd = crowd_figures(dashboard.pid, options.rounds);

    std::printf("255 clients, every status changing every second, one reader of /api/events, over %d s\n",
                options.seconds);
    std::printf("ostrela_dashboard  CPU %6.2f ms a second (%.3f %% of one core), Pss %6.1f MiB\n",
                usage[0].cpu_ms_a_second, usage[0].cpu_ms_a_second / 10, static_cast<double>(usage[0].pss_kb) / 1024);
    std::printf("ostrela_monitor    CPU %6.2f ms a second (%.3f %% of one core), Pss %6.1f MiB\n",
                usage[1].cpu_ms_a_second, usage[1].cpu_ms_a_second / 10, static_cast<double>(usage[1].pss_kb) / 1024);
    std::printf("dashboard / monitor: CPU %.1f x, Pss %.1f x\n",
                usage[0].cpu_ms_a_second / usage[1].cpu_ms_a_second,
                static_cast<double>(usage[0].pss_kb) / static_cast<double>(usage[1].pss_kb));
    std::printf("status written into remote 0's RO segment, %d samples at random moments:\n", options.samples);
    std::printf("  in the master's RO area   p50 %6.0f ms  max %6.0f ms\n", percentile(to_area_ms, 0.5),
                percentile(to_area_ms, 1.0));
    std::printf("  in /api/events            p50 %6.0f ms  max %6.0f ms\n", percentile(to_events_ms, 0.5),
                percentile(to_events_ms, 1.0));
    std::printf("POST /api/clients/0 and GET /api/clients alternately, each on a connection of its own:\n");
    const auto line = [](const char* what, const std::vector<double>& ms) {
        std::printf("  %-22s %4zu answers  p50 %6.2f ms  p99 %6.2f ms  max %6.2f ms\n", what, ms.size(),
                    percentile(ms, 0.5), percentile(ms, 0.99), percentile(ms, 1.0));
    };
    line("nothing else open", crowd.alone_ms);
    line("100 connections open", crowd.crowded_ms);
    std::printf("  not answered within 10 s: %d\n", crowd.unanswered);
    std::printf("  p99 with 100 open / alone: %.2f\n", percentile(crowd.crowded_ms, 0.99) / percentile(crowd.alone_ms, 0.99));
    std::printf("dashboard descriptors: %zu before, %zu with 100 open, %zu and %zu after they went (twice)\n",
                crowd.fds[0], crowd.fds[1], crowd.fds[2], crowd.fds[3]);
    std::printf("dashboard Private_Dirty: %ld KiB before, %ld with 100 open, %ld and %ld after they went (twice)\n",
                crowd.pss_kb[0], crowd.pss_kb[1], crowd.pss_kb[2], crowd.pss_kb[3]);
    std::printf("at the end: %s\n", load_line().c_str());
    return 0;
}

}  // namespace
}  // namespace gorv::bench

int main(int argc, char** argv) { return gorv::bench::run_benchmark("dashboard_bench", gorv::bench::run, argc, argv); }
