#include "common/daemon_life.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "common/constants.h"
#include "common/peer_link.h"

namespace gorv {
namespace {

// The process's own children: a spawner has one per row at most.
constexpr int kMaxMembers = kMaxRemotes + 1;
constexpr int kGraceMs = 2000;
constexpr int kReapStepMs = 10;

// Process-wide: the family as this process sees it.
struct Family {
    std::array<pid_t, kMaxMembers> children{};
    int count = 0;
    bool member_ended = false;
    void (*last_words)() = nullptr;
};
Family family;
volatile sig_atomic_t stop_asked = 0;
// The signal mask inside family_wait: the family's signals let through.
sigset_t inside_wait;

volatile sig_atomic_t child_noted = 0;

void ask_stop(int) { stop_asked = 1; }
void note_child(int) { child_noted = 1; }

void handle(int signal_number, void (*handler)(int)) {
    struct sigaction action{};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a wait in poll or select returns at once
    if (sigaction(signal_number, &action, nullptr) != 0) std::perror("sigaction");
}

void forget(int index) { family.children[index] = family.children[--family.count]; }

}  // namespace

void start_family() {
    handle(SIGPIPE, SIG_IGN);
    handle(SIGTERM, ask_stop);
    handle(SIGINT, ask_stop);
    handle(SIGHUP, ask_stop);
    handle(SIGCHLD, note_child);
    sigset_t family_signals;
    sigemptyset(&family_signals);
    for (const int signal_number : {SIGTERM, SIGINT, SIGHUP, SIGCHLD}) sigaddset(&family_signals, signal_number);
    if (sigprocmask(SIG_BLOCK, &family_signals, &inside_wait) != 0) std::perror("sigprocmask");
    for (const int signal_number : {SIGTERM, SIGINT, SIGHUP, SIGCHLD}) sigdelset(&inside_wait, signal_number);
}

int family_wait(pollfd* polled, nfds_t count, int timeout_ms) {
    timespec timeout{timeout_ms / 1000, static_cast<long>(timeout_ms % 1000) * 1000000};
    const int ready = ppoll(polled, count, timeout_ms < 0 ? nullptr : &timeout, &inside_wait);
    if (ready >= 0 || errno != EINTR) return ready;
    for (nfds_t i = 0; i < count; ++i) polled[i].revents = 0;
    return 0;
}

pid_t fork_member() {
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child < 0) return child;
    if (child == 0) {
        family = Family{};
        if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0) std::perror("prctl");
        if (getppid() != parent) std::exit(kExitOk);  // the parent ended before the line above
        return 0;
    }
    if (family.count < kMaxMembers) family.children[family.count++] = child;
    return child;
}

bool family_intact() {
    // Children are looked at only after a SIGCHLD: a pass costs no system call.
    if (child_noted == 0) return stop_asked == 0 && !family.member_ended;
    child_noted = 0;
    for (int i = 0; i < family.count; ++i) {
        if (waitpid(family.children[i], nullptr, WNOHANG) == family.children[i]) {
            forget(i--);
            family.member_ended = true;
        }
    }
    return stop_asked == 0 && !family.member_ended;
}

int family_end_status() { return stop_asked != 0 ? kExitOk : kExitFailure; }

void at_family_end(void (*last_words)()) { family.last_words = last_words; }

void end_family(int status) {
    if (family.last_words != nullptr) std::exchange(family.last_words, nullptr)();
    std::fflush(stdout);
    for (int i = 0; i < family.count; ++i) kill(family.children[i], SIGTERM);
    for (int waited = 0; family.count > 0; waited += kReapStepMs) {
        for (int i = 0; i < family.count; ++i) {
            const pid_t reaped = waitpid(family.children[i], nullptr, WNOHANG);
            if (reaped == family.children[i] || (reaped < 0 && errno == ECHILD)) forget(i--);
        }
        if (waited == kGraceMs)
            for (int i = 0; i < family.count; ++i) kill(family.children[i], SIGKILL);
        if (family.count > 0) sleep_ms(kReapStepMs);
    }
    std::exit(status);
}

}  // namespace gorv
