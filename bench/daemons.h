// Real daemons for the benchmarks that run whole systems: one master with a
// row per client on 127.0.0.1 and one remote per row, all on this machine.
// Keys, ports and /tmp paths are fixed, so the caller runs in namespaces of
// its own (tests/isolated). Every daemon gets a process group of its own;
// the Daemons value kills each group and reaps its leader when it goes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace gorv::bench {

using Clock = std::chrono::steady_clock;

// The daemons a benchmark starts: a seg_size of 0 leaves every daemon at its
// default size; service runs both sides with -k.
struct System {
    std::string bin_dir;
    int clients = 1;
    int seg_size = 0;
    bool service = false;
    bool keyed = false;  // service mode with -K: a key file the benchmark writes
    // One more row, after the clients' and without a remote, whose host only
    // a name server would know, and a name server that never answers.
    bool dead_name_server = false;
    int remotes = -1;  // remotes started: remote 0 to remotes - 1; all clients when negative
    bool start_now = true;  // false: the constructor starts none, the caller starts each
};

// The options that describe the System, shared by the benchmarks: -n clients,
// -s size, -k (service mode), -K (service mode with keyed links), -D (a
// dead name server and a row that needs it), -b bin_dir. Returns false for any other letter.
bool take_system_option(int option, const char* value, System& system);
// What is wrong with the system's options, for a line on stderr; empty when
// nothing is.
std::string system_refusal(const System& system);

class Daemons {
  public:
    // Names the master in the calls below that take a daemon; remotes are
    // named by their client id.
    static constexpr int kMaster = -1;

    // Starts the master with `clients` rows, then remote 0 to clients - 1
    // (to remotes - 1 when remotes is not negative), from the programs in
    // bin_dir; with start_now false, only makes their command lines.
    explicit Daemons(const System& system);
    ~Daemons();
    Daemons(const Daemons&) = delete;
    Daemons& operator=(const Daemons&) = delete;

    // Kills every process of one daemon and waits, at most a few seconds,
    // until none is left; start runs it again with the same command line
    // and returns when it did.
    void end(int daemon);
    Clock::time_point start(int daemon);
    // Sends a signal to every process of one daemon (SIGSTOP, SIGCONT).
    void signal(int daemon, int signal_number) const;

    // When the last of the daemons was started, by the constructor or start.
    Clock::time_point last_start() const { return last_start_; }

    // Every process that the daemons are made of, forked children included.
    std::vector<pid_t> processes() const;

  private:
    std::size_t slot(int daemon) const;

    std::vector<std::vector<std::string>> command_lines_;  // the master's first, then remote 0, 1, ...
    std::vector<pid_t> leaders_;                           // 0 for a daemon that is not running
    int name_server_ = -1;                                 // -D: bound to port 53, never read
    Clock::time_point last_start_{};
};

// Starts argv[0] in a process group of its own, its output thrown away (the
// daemons print a line for most messages; the benchmarks do not read them).
pid_t start_in_own_group(const std::vector<std::string>& argv);

// A tool in a process group of its own, killed with its group at the end.
struct Tool {
    pid_t pid;
    explicit Tool(const std::vector<std::string>& argv) : pid(start_in_own_group(argv)) {}
    ~Tool();
    Tool(const Tool&) = delete;
    Tool& operator=(const Tool&) = delete;
};

// A "Name:   1234 kB" line of a /proc file, in kB; 0 when missing.
long kb_field(const std::string& path, const std::string& name);

// Time a process has spent on a CPU, in nanoseconds, summed over every
// thread it has now; 0 when it has gone.
long long threads_cpu_ns(pid_t pid);

// The address of an area that a daemon creates, once it exists; null when it
// has not appeared within the limit.
std::byte* attach_when_created(key_t key, Clock::duration limit);

// A line of /proc/net/tcp: this namespace's IPv4 TCP sockets.
struct TcpSocket {
    std::uint16_t local_port;
    std::uint16_t remote_port;
    int state;  // 1 established, 10 listening
    long send_queue;     // bytes sent and not yet acknowledged
    long receive_queue;  // bytes received and not yet read
};
std::vector<TcpSocket> tcp_sockets();

// Links accepted and still up on the listening ports base .. base + count - 1.
int established_links(std::uint16_t base, int count);
// How many of the ports base .. base + count - 1 are listening.
int listening_ports(std::uint16_t base, int count);

// One row of the link state file that the master keeps in service mode
// (kMasterLinksPath); a
// row the file does not name, or a file that is not there, reads as down.
struct RowLinks {
    bool to_remote = false;
    bool from_remote = false;
    long relinks = -1;
};
std::vector<RowLinks> read_link_state(int clients);

// Waits until all 2 × clients links are up: at most a minute, and three
// seconds a row more in plain mode, whose sender links its rows one
// by one, pausing a second after each. Returns the time each direction took
// from `since` (master to remotes first); zero for a direction that did not
// come up. In service mode a direction counts as up
// once the link state file says so for every row as well, so that the
// greetings are part of it.
struct LinkUpTimes {
    Clock::duration master_to_remotes{};
    Clock::duration remotes_to_master{};
    bool complete() const { return master_to_remotes != Clock::duration{} && remotes_to_master != Clock::duration{}; }
};
LinkUpTimes wait_for_links(const System& system, Clock::time_point since);

// Word 0 of a segment, read and written as one 32-bit access that the
// compiler neither drops nor repeats.
std::uint32_t load_first_word(const std::byte* segment);
void store_first_word(std::byte* segment, std::uint32_t value);

void sleep_for(Clock::duration duration);

double to_ms(Clock::duration duration);

// The nearest-rank value: the smallest sample that at least `fraction` of
// the samples do not exceed; 0 without samples.
double percentile(std::vector<double> samples, double fraction);

// The machine's load averages over 1, 5 and 15 minutes, as /proc/loadavg
// gives them, and its number of processors: a line for the end of a
// benchmark's report, as other work on the machine bears on its figures.
std::string load_line();

// How far a long step has come, for whoever watches a run that takes
// minutes: one line on standard error, when that is a terminal, rewritten in
// place at most once a second ("linking: 37 s, ...") and cleared when the
// step ends. Nothing at all when standard error is a file or a pipe.
class Progress {
  public:
    explicit Progress(std::string step, int total_seconds = 0);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    // Rewrites the line once another second has begun; `detail` follows the time.
    void tick(const std::string& detail = {});

  private:
    std::string step_;
    int total_seconds_;
    Clock::time_point start_;
    long long shown_ = -1;
    bool terminal_;
};

// A benchmark's main: runs `run`; an exception ends it with a line on stderr
// and status 1.
int run_benchmark(const char* program, int (*run)(int, char**), int argc, char** argv);

}  // namespace gorv::bench
