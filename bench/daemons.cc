#include "bench/daemons.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "common/constants.h"

namespace gorv::bench {
namespace {

constexpr char kClientList[] = "/tmp/bench_clients";
constexpr char kHost[] = "127.0.0.1";

std::vector<std::string> with_size(std::vector<std::string> argv, int seg_size) {
    if (seg_size != 0) {
        argv.emplace_back("-s");
        argv.push_back(std::to_string(seg_size));
    }
    return argv;
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

long kb_field(const std::string& path, const std::string& name) {
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line))
        if (line.compare(0, name.size() + 1, name + ":") == 0) return std::strtol(line.c_str() + name.size() + 1, nullptr, 10);
    return 0;
}

long long cpu_ns(pid_t pid) {
    std::ifstream schedstat("/proc/" + std::to_string(pid) + "/schedstat");
    long long on_cpu = 0;
    schedstat >> on_cpu;
    return on_cpu;
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

Daemons::Daemons(const std::string& bin_dir, int clients, int seg_size, int remotes) {
    std::ofstream(kClientList) << "Clientname=" << kHost << " Instances=" << clients << "\n";
    leaders_.push_back(start_in_own_group(with_size({bin_dir + "/gorv_master", "-g", kClientList}, seg_size)));
    for (int id = 0; id < (remotes < 0 ? clients : remotes); ++id)
        leaders_.push_back(start_in_own_group(
            with_size({bin_dir + "/gorv_remote", "-H", kHost, "-n", std::to_string(id)}, seg_size)));
}

Daemons::~Daemons() {
    for (const pid_t leader : leaders_) kill(-leader, SIGKILL);
    for (const pid_t leader : leaders_) waitpid(leader, nullptr, 0);
}

std::vector<pid_t> Daemons::processes() const {
    std::vector<pid_t> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const pid_t pid = std::stoi(name);
        const pid_t group = group_of(pid);
        for (const pid_t leader : leaders_)
            if (group == leader) found.push_back(pid);
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

int established_links(std::uint16_t base, int count) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // the column titles
    int links = 0;
    while (std::getline(table, line)) {
        // "  0: 0100007F:55F0 0100007F:5DC0 01 ...": slot, local, remote, state.
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        const unsigned long port = std::stoul(local.substr(local.find(':') + 1), nullptr, 16);
        if (state == "01" && port >= base && port < base + static_cast<unsigned long>(count)) ++links;
    }
    return links;
}

LinkUpTimes wait_for_links(int clients, Clock::time_point since, Clock::duration limit) {
    LinkUpTimes times;
    const auto deadline = since + limit;
    while (Clock::now() < deadline) {
        const auto now = Clock::now();
        if (times.master_to_remotes == Clock::duration{} && established_links(kRemoteListenBase, clients) == clients)
            times.master_to_remotes = now - since;
        if (times.remotes_to_master == Clock::duration{} && established_links(kMasterListenBase, clients) == clients)
            times.remotes_to_master = now - since;
        if (times.master_to_remotes != Clock::duration{} && times.remotes_to_master != Clock::duration{}) break;
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

}  // namespace gorv::bench
