// gorv_remote's command line: [-h] [-H Master_hostname] [-n client_id] [-r]
// [-s size] [-v] [-y 6] [-k [-K keyfile]], options taking effect in the
// order given.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>

#include "common/constants.h"
#include "common/daemon_options.h"

namespace gorv::remote {

inline constexpr int kHostNameMax = 255;
// Ids 0 to 254: one per row of the master's table and one entry each in the
// remote's link table.
inline constexpr std::int32_t kMaxClientId = kMaxRemotes - 1;

inline constexpr DaemonNames kRemoteNames{"gorv_remote", "Remote"};

struct RemoteSettings : DaemonSettings {
    std::int32_t client_id = 0;  // never negative, at most kMaxClientId
    bool host_given = false;
    bool id_given = false;
    char master_host[kHostNameMax + 1] = {};
};

// The remote's two keys: two per client id, MO odd and RO even.
constexpr key_t remote_mo_key(std::int32_t client_id) { return kRemoteMoKeyBase + 2 * client_id; }
constexpr key_t remote_ro_key(std::int32_t client_id) { return kRemoteRoKeyBase + 2 * client_id; }

void print_remote_usage();

// Parses the options into settings. Returns the status to end with when an
// option ends the program at once (-h, -v, or a refused value, whose message
// is printed); nullopt when start-up goes on. -h and -v act when met, so
// what follows them is not read.
std::optional<int> parse_remote_options(int argc, char** argv, long page, RemoteSettings& settings);

}  // namespace gorv::remote
