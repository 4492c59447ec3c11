// The options that both daemons take alike: -k, -K file, -r, -s size,
// -y 6 and -v, and the link key that -K names.
#pragma once

#include <cstdint>
#include <optional>

#include "common/constants.h"
#include "common/link_key.h"

namespace gorv {

struct DaemonSettings {
    std::int32_t seg_size = kDefaultSegSize;
    bool ipv6 = false;  // -y with any value but 0
    bool release = false;
    bool service = false;            // -k: links that heal (service mode)
    const char* key_path = nullptr;  // -K: the link key file, with -k only
};

// How a daemon names itself: "gorv_master" in its version line, "Master"
// at the head of its other lines.
struct DaemonNames {
    const char* program;
    const char* role;
};

// Takes `option` when it is one of the shared ones (taken is then true).
// Returns the status to end with at once (-v, a refused size), else nullopt.
std::optional<int> take_daemon_option(int option, const char* argument, const DaemonNames& names, long page,
                                      DaemonSettings& settings, bool& taken);

// Once every option is read: -K without -k is refused with a line (1).
std::optional<int> check_daemon_settings(const DaemonNames& names, const DaemonSettings& settings);

// Before any area is touched: the key of -K, or a line naming why its file
// was refused and 1. Service mode without -K says on standard error, once,
// that its links are not authenticated. `loaded` is null without a key.
std::optional<int> load_daemon_key(const DaemonNames& names, const DaemonSettings& settings, LinkKey& key,
                                   const LinkKey*& loaded);

}  // namespace gorv
