// README's "Two hosts in ten minutes", read from README.md itself: every line
// of its blocks prefixed `central$ ` or `gen1$ ` runs on that host (a network
// namespace), in order, with the build's programs first on PATH, and the run
// ends keyed, linked, steered, recorded and reported.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>

#include "common/constants.h"
#include "tests/harness/process_harness.h"
#include "tests/harness/test_hosts.h"
#include "tools/client_records.h"

namespace gorv::test {
namespace {

const std::string kHome = "/tmp/home";  // the user's home directory on both hosts
const std::map<int, double> kRates = {{0, 200.0}, {1, 300.0}};

struct Step {
    std::string host;
    std::string command;
};

std::vector<Step> readme_steps() {
    const std::string readme = read_file(std::string(GORV_SOURCE_DIR) + "/README.md");
    const std::size_t begin = readme.find("\n## Two hosts in ten minutes\n");
    const std::size_t end = readme.find("\n## ", begin + 1);
    std::istringstream section(readme.substr(begin, end - begin));
    std::vector<Step> steps;
    for (std::string line; std::getline(section, line);) {
        for (const std::string host : {"central", "gen1"}) {
            if (!line.starts_with(host + "$ ")) continue;
            const std::string command = line.substr(line.find_first_not_of(' ', host.size() + 1));
            // The build stands for the package; and both test hosts share one
            // file system, so the key file is on gen1 as soon as it is made.
            if (command.find("apt install") == std::string::npos && !command.starts_with("scp "))
                steps.push_back({host, command});
        }
    }
    return steps;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Runs one of README's lines on its host; a line that starts a program in the
// background gives the pid of that program on standard output, once it leads
// a session of its own (field 6 of its stat), so that the end of the shell's
// process group, which the harness kills, does not take it along.
std::vector<std::string> on_host(const TestHosts& hosts, const Step& step) {
    const std::string own_session =
        "\n[ -z \"$!\" ] || while [ \"$(cut -d' ' -f6 /proc/$!/stat)\" != $! ]; do sleep 0.01; done; echo $!";
    return hosts.on(step.host, {"/bin/sh", "-ec", "cd " + kHome + "\n" + step.command + own_session});
}

// A program that README's lines started in the background has ended: reaped
// here, where it came when its shell ended (this test is a subreaper), or gone.
bool gone(pid_t pid) { return waitpid(pid, nullptr, WNOHANG) == pid || kill(pid, 0) != 0; }

// Those programs by pid file; each leads its own process group, which ends
// with the test whatever the block's own kill lines did.
struct Started {
    std::map<std::string, pid_t> pids;
    ~Started() {
        for (const auto& entry : pids) {
            const pid_t pid = entry.second;
            kill(-pid, SIGTERM);
            if (!wait_until([pid] { return gone(pid); }, 5s)) {
                kill(-pid, SIGKILL);
                wait_until([pid] { return gone(pid); }, 5s);
            }
        }
    }
};

bool every_row_up() {
    const std::string links = read_file("/tmp/gorv_master_links");
    return contains(links, "row=0 host=gen1 to_remote=up from_remote=up") &&
           contains(links, "row=1 host=gen1 to_remote=up from_remote=up");
}

// Each client's requested rate is in its remote's MO segment and in the
// status that the client reports from RUN.
bool rates_reached() {
    for (const auto& [id, rate] : kRates) {
        const std::span<std::byte> mo = attach_area(kRemoteMoKeyBase + 2 * id);
        const std::span<std::byte> ro = attach_area(kRemoteRoKeyBase + 2 * id);
        if (mo.size() < 8192 || ro.size() < 8192) return false;
        tools::ControlRecord control{};
        tools::StatusRecord status{};
        std::memcpy(&control, mo.data(), sizeof control);
        std::memcpy(&status, ro.data(), sizeof status);
        if (control.op_rate != rate || status.req_op_rate != rate || status.phase != tools::kPhaseRun) return false;
    }
    return true;
}

std::string sql(const std::string& query) { return run({"/usr/bin/sqlite3", kHome + "/run.db", query}).out; }

TEST(Quickstart, ReadmesTwoHostBlockRunsToAKeyedLinkedSteeredRecordedRunAndItsReport) {
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    setenv("PATH", (std::string(GORV_BIN_DIR) + ":" + getenv("PATH")).c_str(), 1);
    ASSERT_EQ(run({"/bin/mkdir", "-p", kHome}).exit_status, 0);
    const TestHosts hosts({"central", "gen1"});
    const std::vector<Step> steps = readme_steps();
    ASSERT_GE(steps.size(), 15u);

    Started background;
    std::map<std::string, pid_t>& started = background.pids;
    for (const Step& step : steps) {
        SCOPED_TRACE(step.host + "$ " + step.command);
        if (step.command == "cat /tmp/gorv_master_links") {
            EXPECT_TRUE(wait_until(every_row_up, 20s))
                << read_file(kHome + "/master.log") << read_file(kHome + "/remote0.log")
                << read_file("/tmp/gorv_master_links");
        }
        if (step.command.starts_with("curl ")) {
            EXPECT_TRUE(wait_until([&] { return contains(run(on_host(hosts, step)).out, "\"to_remote\":\"up\""); }));
        }
        if (step.command.starts_with("ostrela_monitor")) {
            EXPECT_TRUE(wait_until(rates_reached, 15s));
            Running monitor(on_host(hosts, step));
            EXPECT_TRUE(wait_until([&] {
                return contains(monitor.out(), "CL 0: S:RUN  Req op_rate     200.00 Cur op_rate") &&
                       contains(monitor.out(), "CL 1: S:RUN  Req op_rate     300.00 Cur op_rate");
            }, 8s)) << monitor.out();
            continue;
        }
        if (step.command == "kill $(cat record.pid)") {
            EXPECT_TRUE(wait_until([] { return sql("select count(*) from status where phase = 3") != "0\n"; }));
        }
        const Finished done = run(on_host(hosts, step));
        EXPECT_EQ(done.exit_status, 0) << done.err;
        if (step.command.starts_with("setsid ")) {
            // Its pid file is the line's last word.
            started[step.command.substr(step.command.rfind(' ') + 1)] = std::stoi(done.out);
        }
        if (step.command.starts_with("kill ")) {
            // The programs whose pid files the line names end.
            for (auto it = started.begin(); it != started.end();) {
                if (!contains(step.command, it->first)) {
                    ++it;
                    continue;
                }
                const bool ended = wait_until([&] { return gone(it->second); }, 10s);
                EXPECT_TRUE(ended) << it->first;
                it = ended ? started.erase(it) : std::next(it);
            }
        }
    }
    EXPECT_EQ(started.size(), 0u);

    EXPECT_EQ(sql("select clients, seg_size, ended is not null from runs"), "2|8192|1\n");
    EXPECT_EQ(sql("select count(distinct client) from status"), "2\n");
    EXPECT_TRUE(contains(read_file(kHome + "/run.html"), "<html")) << "no report";
    EXPECT_TRUE(contains(read_file(kHome + "/master.log"), "Master row 1 from_remote: up"));
}

}  // namespace
}  // namespace gorv::test
