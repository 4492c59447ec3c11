// One daemon, one life (service mode): the processes of a daemon end
// together. A stop asked for by a signal or the end of any process of the
// family ends the rest, and every child is reaped by its parent.
//
// Each process of the family calls start_family once, forks its children
// with fork_member, checks family_intact in its loop (signals interrupt
// poll, so a check follows within one wait), and calls end_family when it
// is false. A child whose parent ends gets SIGTERM from the kernel.
// A broken pipe never ends a process of the family.
#pragma once

#include <sys/types.h>

namespace gorv {

// SIGPIPE ignored; SIGTERM, SIGINT and SIGHUP ask for a stop; SIGCHLD
// interrupts waits.
void start_family();

// fork(); the child forgets its parent's children and is sent SIGTERM when
// its parent ends. -1 when fork fails (errno set).
pid_t fork_member();

// False once a stop was asked for or a child of this process has ended.
bool family_intact();

// Once family_intact is false: 0 when a signal asked for the stop, 1 when a
// process of the family ended without being asked to, so that whoever
// watches the daemon (a service manager) sees it fail and starts it again.
int family_end_status();

// A routine that end_family runs first, in this process only (a child
// forked later has none): the master's sender writes its last link state.
void at_family_end(void (*last_words)());

// SIGTERM to every child, each reaped (SIGKILL after a grace period), then
// the process ends with `status`.
[[noreturn]] void end_family(int status);

}  // namespace gorv
