// One service-mode daemon per set of areas: before it touches an area, a
// -k daemon takes a lock of its own name, which every process it forks
// shares and which goes with the last of them, whatever ends them.
//
// The lock is a Unix socket of that name in the abstract namespace, bound
// and listening: its name is taken while the daemon lives, a second bind
// of it fails, and a connection to it tells the pid of the daemon that
// holds it (its peer credentials). Such names belong to the network
// namespace, as a host's ports do: daemons of two hosts made of network
// namespaces on one machine do not meet (tests/harness/test_hosts.h).
// ss -xl lists a held lock as "@<name>".
#pragma once

namespace gorv {

// Takes the lock, waiting a little for a daemon that is ending to let it go.
// When it cannot, prints "<who>: a service-mode <role> (pid <pid>) holds
// @<name>; not started", or "<who>: lock @<name> cannot be taken (<reason>);
// not started", and ends the process with status 1.
void hold_daemon_lock_or_exit(const char* who, const char* role, const char* name);

// For plain mode and release runs, which go on whatever: when a -k daemon
// holds the lock, says "<who>: a service-mode <role> (pid <pid>) holds
// @<name>; going on" on standard error and returns true.
bool warn_of_daemon_lock(const char* who, const char* role, const char* name);

}  // namespace gorv
