// One daemon, one life (service mode): the processes of a daemon end
// together. A stop asked for by a signal or the end of any process of the
// family ends the rest, and every child is reaped by its parent.
//
// Each process of the family calls start_family once, forks its children
// with fork_member, checks family_intact in its loop, waits only in
// family_wait, and calls end_family when family_intact is false. The
// signals that end a family are blocked everywhere but inside
// family_wait, so one that comes between the check and the wait still
// ends the wait: no process wakes just to look at its family. A child whose
// parent ends gets SIGTERM from the kernel. A broken pipe never ends a
// process of the family.
#pragma once

#include <poll.h>
#include <sys/types.h>

namespace gorv {

// SIGPIPE ignored; SIGTERM, SIGINT and SIGHUP ask for a stop; SIGCHLD
// interrupts waits. All four are blocked from here on but in family_wait.
void start_family();

// poll(2) with the family's signals let through for the wait alone
// (ppoll); timeout_ms < 0 waits without end. With no descriptors it is the
// family's sleep: a process sleeps nowhere else. Returns what ppoll returned,
// 0 when a signal ended the wait: check family_intact then.
int family_wait(pollfd* polled, nfds_t count, int timeout_ms);

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
