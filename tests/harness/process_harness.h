// Helpers for tests that run the real programs. Such a test runs inside its
// own namespaces (see tests/isolated), so fixed keys, ports and /tmp paths
// are its own. Every wait is bounded; every process started is ended by pid.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace gorv::test {

using namespace std::chrono_literals;
using Millis = std::chrono::milliseconds;

// Path of a program of the build: program("gorv_master").
std::string program(const std::string& name);

struct Finished {
    int exit_status = -1;  // -1 when ended by a signal or timed out
    int signal = 0;
    std::string out;
    std::string err;
};

// Runs a program to its end, at most `limit`; it is killed after that.
Finished run(const std::vector<std::string>& argv, Millis limit = 10s);

// Where Running keeps the output of the programs it starts.
inline constexpr char kOutputDir[] = "/tmp/test_output";

// A program left running in its own process group, with its output going to
// files in kOutputDir. The destructor kills the whole group and reaps the program.
class Running {
  public:
    explicit Running(const std::vector<std::string>& argv);
    ~Running();
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;

    pid_t pid() const { return pid_; }
    std::string out() const;
    std::string err() const;
    // The exit status once the program has ended within `limit`.
    std::optional<int> wait_exit(Millis limit);
    // How the program ended (exit status or signal; no output), if within `limit`.
    std::optional<Finished> wait_end(Millis limit);
    void kill_group();

  private:
    pid_t pid_ = -1;
    std::string out_path_;
    std::string err_path_;
};

bool wait_until(const std::function<bool()>& condition, Millis limit = 5s);

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& text);
bool file_exists(const std::string& path);

// A System V area as the test sees it.
struct AreaInfo {
    size_t size;
    unsigned mode;  // permission bits
    bool marked_for_removal;
};
std::optional<AreaInfo> area_info(key_t key);
// Attaches an existing area for reading and writing; empty when it does not exist.
std::span<std::byte> attach_area(key_t key);
// Creates an area of the given size (as another program would have).
void create_area(key_t key, size_t size);

// Children of pid, as listed by the kernel.
std::vector<pid_t> children_of(pid_t pid);
// The exit status of a process that has ended but that its parent has not
// reaped yet; nullopt while it runs, or when it was ended by a signal.
std::optional<int> unreaped_exit_status(pid_t pid);


}  // namespace gorv::test
