#include "tests/harness/process_harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace gorv::test {
namespace {

std::vector<char*> c_arguments(const std::vector<std::string>& argv) {
    std::vector<char*> arguments;
    for (const std::string& argument : argv) arguments.push_back(const_cast<char*>(argument.c_str()));
    arguments.push_back(nullptr);
    return arguments;
}

// In the child: its own process group, then the program.
[[noreturn]] void exec_in_own_group(const std::vector<std::string>& argv) {
    setpgid(0, 0);
    std::vector<char*> arguments = c_arguments(argv);
    execv(arguments[0], arguments.data());
    _exit(127);
}

void record_status(int status, Finished& finished) {
    if (WIFEXITED(status)) finished.exit_status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) finished.signal = WTERMSIG(status);
}

std::optional<int> exit_status_within(pid_t pid, Millis limit, int* raw_status) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (waitpid(pid, raw_status, WNOHANG) == pid) return *raw_status;
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(10ms);
    }
}

}  // namespace

std::string program(const std::string& name) { return std::string(GORV_BIN_DIR) + "/" + name; }

Finished run(const std::vector<std::string>& argv, Millis limit) {
    int out_pipe[2];
    int err_pipe[2];
    // Close-on-exec, like every descriptor here: a program started later must
    // not hold another's pipe or a test's socket open.
    if (pipe2(out_pipe, O_CLOEXEC) < 0 || pipe2(err_pipe, O_CLOEXEC) < 0) throw std::runtime_error("pipe");
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        exec_in_own_group(argv);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);

    Finished finished;
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&finished.out, &finished.err};
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int open_pipes = 2;
    while (open_pipes > 0) {
        const auto left = std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
        if (left <= 0ms || poll(fds, 2, static_cast<int>(left.count())) == 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char chunk[4096];
            const ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
            if (n > 0) {
                sinks[i]->append(chunk, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_pipes;
            }
        }
    }
    for (const pollfd& fd : fds)
        if (fd.fd >= 0) close(fd.fd);

    int status = 0;
    if (!exit_status_within(pid, open_pipes > 0 ? 0ms : limit, &status)) {
        kill(-pid, SIGKILL);
        waitpid(pid, &status, 0);
        return finished;  // exit_status stays -1: timed out
    }
    kill(-pid, SIGKILL);  // anything the program left running in its group
    record_status(status, finished);
    return finished;
}

Running::Running(const std::vector<std::string>& argv) {
    static int started = 0;
    mkdir(kOutputDir, 0755);
    const std::string stem = std::string(kOutputDir) + "/run_" + std::to_string(getpid()) + "_" + std::to_string(++started);
    out_path_ = stem + ".out";
    err_path_ = stem + ".err";
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
        const int out = open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int err = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (out < 0 || err < 0) _exit(126);
        dup2(out, 1);
        dup2(err, 2);
        exec_in_own_group(argv);
    }
    setpgid(pid_, pid_);  // also here, so that kill_group works before the child has run
}

Running::~Running() {
    kill_group();
    unlink(out_path_.c_str());
    unlink(err_path_.c_str());
}

void Running::kill_group() {
    if (pid_ < 0) return;
    kill(-pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

std::string Running::out() const { return read_file(out_path_); }
std::string Running::err() const { return read_file(err_path_); }

std::optional<int> Running::wait_exit(Millis limit) {
    const auto ended = wait_end(limit);
    if (!ended) return std::nullopt;
    return ended->exit_status;
}

std::optional<Finished> Running::wait_end(Millis limit) {
    int status = 0;
    if (pid_ < 0 || !exit_status_within(pid_, limit, &status)) return std::nullopt;
    kill(-pid_, SIGKILL);  // the program's own children, if any
    pid_ = -1;
    Finished ended;
    record_status(status, ended);
    return ended;
}

bool wait_until(const std::function<bool()>& condition, Millis limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

std::string read_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
    if (!file) throw std::runtime_error("cannot write " + path);
}

bool file_exists(const std::string& path) {
    struct stat info{};
    return stat(path.c_str(), &info) == 0;
}

std::optional<AreaInfo> area_info(key_t key) {
    const int id = shmget(key, 0, 0);
    if (id < 0) return std::nullopt;
    shmid_ds status{};
    if (shmctl(id, IPC_STAT, &status) < 0) return std::nullopt;
    return AreaInfo{status.shm_segsz, status.shm_perm.mode & 0777u, (status.shm_perm.mode & SHM_DEST) != 0};
}

std::span<std::byte> attach_area(key_t key) {
    const auto info = area_info(key);
    if (!info) return {};
    void* address = shmat(shmget(key, 0, 0), nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) return {};
    return {static_cast<std::byte*>(address), info->size};
}

void create_area(key_t key, size_t size) {
    if (shmget(key, size, IPC_CREAT | 0666) < 0) throw std::runtime_error("shmget");
}

namespace {

// The fields of /proc/<pid>/stat after the parenthesised name, from the
// state (field 3) on.
std::vector<std::string> stat_fields(pid_t pid) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const size_t name_end = stat.rfind(')');
    std::vector<std::string> fields;
    if (name_end == std::string::npos) return fields;
    std::istringstream rest(stat.substr(name_end + 1));
    for (std::string field; rest >> field;) fields.push_back(field);
    return fields;
}

}  // namespace

std::optional<int> unreaped_exit_status(pid_t pid) {
    // Field 52 holds the status as waitpid would report it.
    constexpr size_t kExitCodeField = 52 - 3;
    const std::vector<std::string> fields = stat_fields(pid);
    if (fields.size() <= kExitCodeField || fields[0] != "Z") return std::nullopt;
    const int status = std::atoi(fields[kExitCodeField].c_str());
    if (!WIFEXITED(status)) return std::nullopt;
    return WEXITSTATUS(status);
}

std::vector<pid_t> children_of(pid_t pid) {
    std::vector<pid_t> children;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return children;
    while (const dirent* entry = readdir(proc)) {
        const pid_t candidate = static_cast<pid_t>(std::atoi(entry->d_name));
        if (candidate <= 0) continue;
        const std::vector<std::string> fields = stat_fields(candidate);
        if (fields.size() > 1 && std::atoi(fields[1].c_str()) == pid) children.push_back(candidate);
    }
    closedir(proc);
    return children;
}

}  // namespace gorv::test
