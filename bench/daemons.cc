#include "bench/daemons.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <signal.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "common/constants.h"
#include "common/link_state.h"

namespace gorv::bench {
namespace {

constexpr char kClientList[] = "/tmp/bench_clients";
constexpr char kHost[] = "127.0.0.1";
constexpr char kKeyFile[] = "/tmp/bench_link.key";

// The key file of keyed runs, only its owner may read it.
void write_key_file() {
    const int fd = open(kKeyFile, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const std::string key(64, '5');
    if (fd < 0 || write(fd, key.data(), key.size()) != static_cast<ssize_t>(key.size())) std::perror(kKeyFile);
    if (fd >= 0) close(fd);
}

std::vector<std::string> command_line(const System& system, const std::string& program,
                                      std::vector<std::string> options) {
    options.insert(options.begin(), system.bin_dir + "/" + program);
    if (system.seg_size != 0) {
        options.emplace_back("-s");
        options.push_back(std::to_string(system.seg_size));
    }
    if (system.service) options.emplace_back("-k");
    if (system.keyed) {
        options.emplace_back("-K");
        options.emplace_back(kKeyFile);
    }
    return options;
}

// The process group of a process, from field 5 of /proc/<pid>/stat; -1 when gone.
pid_t group_of(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return -1;
    // The command name in field 2 may hold blanks; the fields after it do not.
    std::istringstream rest(line.substr(line.rfind(')') + 2));
    std::string state;
    pid_t parent = 0;
    pid_t group = -1;
    rest >> state >> parent >> group;
    return group;
}

}  // namespace

pid_t start_in_own_group(const std::vector<std::string>& argv) {
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        setpgid(0, 0);
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, 1);
            dup2(null, 2);
        }
        std::vector<char*> arguments;
        for (const std::string& argument : argv) arguments.push_back(const_cast<char*>(argument.c_str()));
        arguments.push_back(nullptr);
        execv(arguments[0], arguments.data());
        _exit(127);
    }
    setpgid(pid, pid);
    return pid;
}

Tool::~Tool() {
    kill(-pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

long kb_field(const std::string& path, const std::string& name) {
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line))
        if (line.compare(0, name.size() + 1, name + ":") == 0) return std::strtol(line.c_str() + name.size() + 1, nullptr, 10);
    return 0;
}

long long threads_cpu_ns(pid_t pid) {
    long long on_cpu = 0;
    std::error_code missing;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", missing)) {
        std::ifstream schedstat(task.path() / "schedstat");
        long long thread_ns = 0;
        schedstat >> thread_ns;
        on_cpu += thread_ns;
    }
    return on_cpu;
}

// A name server on 127.0.0.1 that takes every query and answers none, in
// this mount namespace's /etc/resolv.conf: the socket, or -1.
int dead_name_server() {
    const int server = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(53);
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (server < 0 || bind(server, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0)
        throw std::runtime_error("no port 53 for the dead name server");
    std::ofstream("/tmp/bench_resolv.conf") << "nameserver 127.0.0.1\noptions timeout:3 attempts:2\n";
    if (std::system("mount --bind /tmp/bench_resolv.conf /etc/resolv.conf") != 0)
        throw std::runtime_error("cannot mount /etc/resolv.conf");
    return server;
}

Daemons::Daemons(const System& system) {
    std::ofstream list(kClientList);
    list << "Clientname=" << kHost << " Instances=" << system.clients << "\n";
    if (system.dead_name_server) {
        name_server_ = dead_name_server();
        list << "Clientname=ghost.gorv.bench\n";
    }
    list.close();
    command_lines_.push_back(command_line(system, "gorv_master", {"-g", kClientList}));
    const int remotes = system.remotes < 0 ? system.clients : system.remotes;
    for (int id = 0; id < remotes; ++id)
        command_lines_.push_back(command_line(system, "gorv_remote", {"-H", kHost, "-n", std::to_string(id)}));
    leaders_.assign(command_lines_.size(), 0);
    if (!system.start_now) return;
    start(kMaster);
    for (int id = 0; id < remotes; ++id) start(id);
}

Daemons::~Daemons() {
    for (const pid_t leader : leaders_)
        if (leader != 0) kill(-leader, SIGKILL);
    for (const pid_t leader : leaders_)
        if (leader != 0) waitpid(leader, nullptr, 0);
    if (name_server_ >= 0) close(name_server_);
}

std::size_t Daemons::slot(int daemon) const {
    if (daemon < kMaster || daemon - kMaster >= static_cast<int>(leaders_.size()))
        throw std::out_of_range("no such daemon");
    return static_cast<std::size_t>(daemon - kMaster);
}

void Daemons::end(int daemon) {
    pid_t& leader = leaders_[slot(daemon)];
    if (leader == 0) return;
    kill(-leader, SIGKILL);
    waitpid(leader, nullptr, 0);
    // The other processes of the group were the leader's children; they are
    // gone, their ports with them, once no process of the group is left.
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (kill(-leader, 0) == 0 && Clock::now() < deadline) sleep_for(std::chrono::milliseconds(1));
    leader = 0;
}

Clock::time_point Daemons::start(int daemon) {
    const std::size_t index = slot(daemon);
    if (leaders_[index] != 0) throw std::logic_error("the daemon is running already");
    leaders_[index] = start_in_own_group(command_lines_[index]);
    last_start_ = Clock::now();
    return last_start_;
}

void Daemons::signal(int daemon, int signal_number) const {
    const pid_t leader = leaders_[slot(daemon)];
    if (leader != 0) kill(-leader, signal_number);
}

std::vector<pid_t> Daemons::processes() const {
    std::vector<pid_t> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const pid_t pid = std::stoi(name);
        const pid_t group = group_of(pid);
        for (const pid_t leader : leaders_)
            if (leader != 0 && group == leader) found.push_back(pid);
    }
    return found;
}

std::byte* attach_when_created(key_t key, Clock::duration limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        const int id = shmget(key, 0, 0);
        if (id >= 0) {
            void* area = shmat(id, nullptr, 0);
            return area == reinterpret_cast<void*>(-1) ? nullptr : static_cast<std::byte*>(area);
        }
        if (Clock::now() >= deadline) return nullptr;
        sleep_for(std::chrono::milliseconds(10));
    }
}

std::vector<TcpSocket> tcp_sockets() {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // the column titles
    std::vector<TcpSocket> sockets;
    const auto hex = [](const std::string& text) { return std::stoul(text, nullptr, 16); };
    while (std::getline(table, line)) {
        // "  0: 0100007F:55F0 0100007F:5DC0 01 00000000:00000000 ...": slot,
        // local and remote address, state, send and receive queue.
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues;
        fields >> slot >> local >> remote >> state >> queues;
        const std::size_t colon = queues.find(':');
        sockets.push_back({static_cast<std::uint16_t>(hex(local.substr(local.find(':') + 1))),
                           static_cast<std::uint16_t>(hex(remote.substr(remote.find(':') + 1))), static_cast<int>(hex(state)),
                           static_cast<long>(hex(queues.substr(0, colon))),
                           static_cast<long>(hex(queues.substr(colon + 1)))});
    }
    return sockets;
}

namespace {

int sockets_in_state(int state, std::uint16_t base, int count) {
    int found = 0;
    for (const TcpSocket& socket : tcp_sockets())
        if (socket.state == state && socket.local_port >= base && socket.local_port < base + count) ++found;
    return found;
}

}  // namespace

int established_links(std::uint16_t base, int count) { return sockets_in_state(1, base, count); }

int listening_ports(std::uint16_t base, int count) { return sockets_in_state(10, base, count); }

std::vector<RowLinks> read_link_state(int clients) {
    std::vector<RowLinks> rows(static_cast<std::size_t>(clients));
    for (const LinkRow& row : gorv::read_link_state(kMasterLinksPath).value_or(LinkStateFile{}).rows)
        if (row.row < clients) rows[static_cast<std::size_t>(row.row)] = {row.to_remote, row.from_remote, row.relinks};
    return rows;
}

LinkUpTimes wait_for_links(const System& system, Clock::time_point since) {
    const int clients = system.clients;
    LinkUpTimes times;
    const auto deadline = since + std::chrono::seconds(60 + (system.service ? 0 : 3 * clients));
    Progress progress("linking " + std::to_string(clients) + " rows");
    while (Clock::now() < deadline) {
        const auto now = Clock::now();
        const int linked_to = established_links(kRemoteListenBase, clients);
        const int linked_from = established_links(kMasterListenBase, clients);
        progress.tick(std::to_string(linked_to) + " linked to the remotes, " + std::to_string(linked_from) +
                      " to the master");
        bool to_remotes = linked_to >= clients;
        bool from_remotes = linked_from >= clients;
        if (system.service)
            for (const RowLinks& row : read_link_state(clients)) {
                to_remotes = to_remotes && row.to_remote;
                from_remotes = from_remotes && row.from_remote;
            }
        if (times.master_to_remotes == Clock::duration{} && to_remotes) times.master_to_remotes = now - since;
        if (times.remotes_to_master == Clock::duration{} && from_remotes) times.remotes_to_master = now - since;
        if (times.complete()) break;
        sleep_for(std::chrono::milliseconds(20));
    }
    return times;
}

std::uint32_t load_first_word(const std::byte* segment) {
    return *reinterpret_cast<const volatile std::uint32_t*>(segment);
}

void store_first_word(std::byte* segment, std::uint32_t value) {
    *reinterpret_cast<volatile std::uint32_t*>(segment) = value;
}

void sleep_for(Clock::duration duration) { std::this_thread::sleep_for(duration); }

double to_ms(Clock::duration duration) { return std::chrono::duration<double, std::milli>(duration).count(); }

double percentile(std::vector<double> samples, double fraction) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    const auto rank = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(samples.size())));
    return samples[std::clamp<std::size_t>(rank, 1, samples.size()) - 1];
}

bool take_system_option(int option, const char* value, System& system) {
    switch (option) {
        case 'n': system.clients = std::atoi(value); return true;
        case 's': system.seg_size = std::atoi(value); return true;
        case 'k': system.service = true; return true;
        case 'K':
            system.service = system.keyed = true;
            write_key_file();
            return true;
        case 'D': system.dead_name_server = true; return true;
        case 'b': system.bin_dir = value; return true;
        default: return false;
    }
}

std::string system_refusal(const System& system) {
    if (system.clients < 1 || system.clients > kMaxRemotes)
        return "1 to " + std::to_string(kMaxRemotes) + " clients";
    if (system.seg_size < 0) return "no negative segment size";
    return "";
}

std::string load_line() {
    std::ifstream averages("/proc/loadavg");
    std::string one, five, fifteen;
    averages >> one >> five >> fifteen;
    return "load average " + one + " " + five + " " + fifteen + " on " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) +
           " processors";
}

Progress::Progress(std::string step, int total_seconds)
    : step_(std::move(step)), total_seconds_(total_seconds), start_(Clock::now()), terminal_(isatty(STDERR_FILENO) == 1) {
    tick();
}

Progress::~Progress() {
    if (terminal_) std::fputs("\r\033[K", stderr);
}

void Progress::tick(const std::string& detail) {
    if (!terminal_) return;
    const long long second = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start_).count();
    if (second == shown_) return;
    shown_ = second;
    std::string line = "\r" + step_ + ": " + std::to_string(second);
    if (total_seconds_ > 0) line += " of " + std::to_string(total_seconds_);
    line += " s";
    if (!detail.empty()) line += ", " + detail;
    std::fputs((line + "\033[K").c_str(), stderr);
}

int run_benchmark(const char* program, int (*run)(int, char**), int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "%s: %s\n", program, failure.what());
        return 1;
    }
}

}  // namespace gorv::bench
