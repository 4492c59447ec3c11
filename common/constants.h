// Build-time constants shared by every program: keys, paths, ports, limits.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace gorv {

// System V keys of the segment areas. A remote with client id n uses
// kRemoteMoKeyBase + 2n and kRemoteRoKeyBase + 2n, so MO keys are odd and
// RO keys even, and ids 0 to 254 never meet the master's keys.
inline constexpr key_t kMasterMoKey = 0x3141592;
inline constexpr key_t kMasterRoKey = 0x3141593;
inline constexpr key_t kRemoteMoKeyBase = 0x2718281;
inline constexpr key_t kRemoteRoKeyBase = 0x2718282;

inline constexpr std::int32_t kDefaultSegSize = 4096;

// A remote's areas hold its own client's segment only.
inline constexpr std::int32_t kRemoteNumberOfSegs = 1;

// Capacity of the master's client table and of every per-row table.
inline constexpr std::int32_t kMaxRemotes = 255;

// Clients the monitor keeps a snapshot for; it refuses a master with more.
inline constexpr std::int32_t kMonitorCapacity = 256;

inline constexpr char kMasterRegistryPath[] = "/tmp/gorv_master_registry";
inline constexpr char kClientRegistryBase[] = "/tmp/gorv_registry_client";
// The locks that -k daemons hold (common/daemon_lock.h): the master's, and
// a remote's with "_<id>" appended.
inline constexpr char kMasterLockName[] = "gorv_master";
inline constexpr char kRemoteLockBase[] = "gorv_remote";
// The master's link state in service mode, a line per row.
inline constexpr char kMasterLinksPath[] = "/tmp/gorv_master_links";

// Log levels: a line of level n is printed when the daemon's level is >= n.
inline constexpr int kMasterLogLevel = 2;
inline constexpr int kRemoteLogLevel = 1;

inline constexpr char kDaemonVersion[] = "        $Revision: 793 $";
inline constexpr char kModifyVersion[] = "        $Revision: 739 $";
inline constexpr char kMonitorVersion[] = "        $Revision: 610 $";

// TCP ports. Receivers listen on base + index; in plain mode connecting
// ends bind their local port from the first-local-port upward (in service
// mode the kernel picks it).
inline constexpr std::uint16_t kMasterListenBase = 22000;
inline constexpr std::uint16_t kMasterFirstLocalPort = 24000;
inline constexpr std::uint16_t kRemoteFirstLocalPort = 26000;
inline constexpr std::uint16_t kRemoteListenBase = 28000;

// Receive buffer of the master's listening sockets, whatever the message length.
inline constexpr int kMasterReceiveBuffer = 65536;
inline constexpr int kListenBacklog = 10;

// A connecting end makes this many attempts on one socket, pausing between
// them, then starts over with a new socket. The same pause follows a
// connection made and spaces repeated host name look-ups.
inline constexpr int kConnectAttempts = 301;
inline constexpr int kLinkPauseMs = 1000;

// Service mode (-k): a link without its greeting this long after it was
// made is closed; a connecting end tries again this often; a peer's host
// that acknowledges nothing this long ends the link (keepalive probes and
// the user time-out).
inline constexpr int kGreetingTimeoutMs = 5000;
// Connections a listening end lets wait for their greetings at once; a new
// one beyond them drops the oldest.
inline constexpr std::size_t kMaxPendingLinks = 4;
// A name is looked up again at most this often, however often it is asked
// for; a linking process waits this long between looks at a look-up it
// waits for.
inline constexpr int kLookupSpacingMs = 1000;
inline constexpr int kLookupWaitMs = 50;
inline constexpr int kRelinkPauseMs = 1000;
inline constexpr int kUserTimeoutMs = 10000;
inline constexpr int kKeepaliveIdleSeconds = 2;
inline constexpr int kKeepaliveIntervalSeconds = 1;
inline constexpr int kKeepaliveProbes = 8;

// A -k daemon whose lock file is held waits this long before it refuses to
// start: a daemon that is ending gives its processes 2 s before it kills them.
inline constexpr int kLockWaitMs = 3000;
inline constexpr int kLockPollMs = 20;

// An update message is dest_who (4 bytes) followed by the segment's words.
inline constexpr std::int32_t kDestWhoSize = 4;

// The client program: where its private scratch directory is made, how long
// it warms up before it runs, and the files and transfers of its load.
inline constexpr char kClientScratchParent[] = "/tmp";
inline constexpr int kClientWarmSeconds = 3;
inline constexpr int kClientPoolFiles = 16;
inline constexpr int kClientTransferSize = 4096;
// Directories that Mkdir makes in turn; the one transfer buffer (a larger
// transfer goes through it in pieces), aligned for O_DIRECT; how far a
// sequential write or an append goes into a file before it starts again.
inline constexpr int kClientPoolDirs = 16;
inline constexpr std::size_t kClientBufferBytes = std::size_t{8} << 20;
inline constexpr std::int64_t kClientDirectAlign = 4096;
inline constexpr std::int64_t kClientFileSpan = std::int64_t{1} << 20;

// The largest workload file ostrela_modify -W reads; four workloads with
// every band written take some 20 KiB.
inline constexpr std::size_t kMaxWorkloadFileBytes = 1 << 20;

// Exit statuses common to all programs.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitListenSocket = 19;
inline constexpr int kExitReadError = 21;
inline constexpr int kExitConnectSocket = 23;
inline constexpr int kExitWriteFailed = 26;

}  // namespace gorv
