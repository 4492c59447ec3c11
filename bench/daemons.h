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

class Daemons {
  public:
    // Starts the master with `clients` rows, then remote 0 to clients - 1
    // (to remotes - 1 when remotes is not negative), from the programs in
    // bin_dir. A seg_size of 0 leaves every daemon at its default size.
    Daemons(const std::string& bin_dir, int clients, int seg_size, int remotes = -1);
    ~Daemons();
    Daemons(const Daemons&) = delete;
    Daemons& operator=(const Daemons&) = delete;

    // Every process that the daemons are made of, forked children included.
    std::vector<pid_t> processes() const;

  private:
    std::vector<pid_t> leaders_;
};

// Starts argv[0] in a process group of its own, its output thrown away (the
// daemons print a line for most messages; the benchmarks do not read them).
pid_t start_in_own_group(const std::vector<std::string>& argv);

// A "Name:   1234 kB" line of a /proc file, in kB; 0 when missing.
long kb_field(const std::string& path, const std::string& name);

// Time a process has spent on a CPU, in nanoseconds: the first field of
// /proc/<pid>/schedstat (its main thread); 0 when it has gone.
long long cpu_ns(pid_t pid);
// The same summed over every thread the process has now.
long long threads_cpu_ns(pid_t pid);

// The address of an area that a daemon creates, once it exists; null when it
// has not appeared within the limit.
std::byte* attach_when_created(key_t key, Clock::duration limit);

// Links accepted and still up on the listening ports base .. base + count - 1.
int established_links(std::uint16_t base, int count);

// Waits until all 2 × clients links are up, at most `limit`. Returns the time
// each direction took from `since` (master to remotes first); zero for a
// direction that did not come up.
struct LinkUpTimes {
    Clock::duration master_to_remotes{};
    Clock::duration remotes_to_master{};
};
LinkUpTimes wait_for_links(int clients, Clock::time_point since, Clock::duration limit);

// Word 0 of a segment, read and written as one 32-bit access that the
// compiler neither drops nor repeats.
std::uint32_t load_first_word(const std::byte* segment);
void store_first_word(std::byte* segment, std::uint32_t value);

void sleep_for(Clock::duration duration);

double to_ms(Clock::duration duration);

}  // namespace gorv::bench
