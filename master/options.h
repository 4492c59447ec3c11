// gorv_master's command line: [-h] [-r] [-s size] [-g filename] [-v] [-y 6]
// [-k [-K keyfile]], options taking effect in the order given.
#pragma once

#include <cstdint>
#include <optional>

#include "common/constants.h"
#include "common/daemon_options.h"

namespace gorv::master {

inline constexpr int kListPathMax = 255;

inline constexpr DaemonNames kMasterNames{"gorv_master", "Master"};

struct MasterSettings : DaemonSettings {
    bool list_given = false;
    char list_path[kListPathMax + 1] = {};
};

void print_master_usage();

// Parses the options into settings. Returns the status to end with when an
// option ends the program at once (-h, -v, or a refused value, whose message
// is printed); nullopt when start-up goes on.
std::optional<int> parse_master_options(int argc, char** argv, long page, MasterSettings& settings);

}  // namespace gorv::master
