// Service mode (-k): links that heal after restarts, rows that never wait
// for a frozen one, greetings and hosts that are refused, and daemons whose
// processes end together.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <random>
#include <sstream>
#include <thread>

#include "common/constants.h"
#include "common/service_link.h"
#include "tests/harness/process_harness.h"
#include "tests/harness/test_hosts.h"
#include "tests/harness/test_peer.h"

namespace gorv::test {
namespace {

const std::string kList = "/tmp/clients";
constexpr int kRows = 3;
// A restarted daemon's rows are back in step within this.
constexpr Millis kRelinkBound = 3s;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

size_t count_of(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// The units in systemd/ start the daemons with these same command lines,
// their OPTIONS (here -s; -K in the example settings) last.
std::vector<std::string> master_k(const std::string& size = "4096") {
    return {program("gorv_master"), "-k", "-g", kList, "-s", size};
}

std::vector<std::string> remote_k(int id, const std::string& size = "4096", const std::string& master = "localhost") {
    return {program("gorv_remote"), "-k", "-H", master, "-n", std::to_string(id), "-s", size};
}

// A master and kRows remotes on loopback, every area attached once (the
// areas outlive the daemons' restarts).
struct ServiceSystem {
    size_t seg_size;
    std::unique_ptr<Running> master;
    std::vector<std::unique_ptr<Running>> remotes;
    std::span<std::byte> master_mo, master_ro;
    std::vector<std::span<std::byte>> remote_mo, remote_ro;

    explicit ServiceSystem(size_t size) : seg_size(size) {
        write_file(kList, "Clientname=localhost Instances=" + std::to_string(kRows) + "\n");
        master = std::make_unique<Running>(master_k(std::to_string(size)));
        for (int id = 0; id < kRows; ++id)
            remotes.push_back(std::make_unique<Running>(remote_k(id, std::to_string(size))));
        const auto areas_made = [] {
            for (int id = 0; id < kRows; ++id)
                if (!area_info(kRemoteRoKeyBase + 2 * id)) return false;
            return area_info(kMasterRoKey).has_value();
        };
        if (!wait_until(areas_made)) throw std::runtime_error("areas not made");
        master_mo = attach_area(kMasterMoKey);
        master_ro = attach_area(kMasterRoKey);
        for (int id = 0; id < kRows; ++id) {
            remote_mo.push_back(attach_area(kRemoteMoKeyBase + 2 * id));
            remote_ro.push_back(attach_area(kRemoteRoKeyBase + 2 * id));
        }
    }

    std::span<std::byte> row_of(std::span<std::byte> area, int row) const {
        return area.subspan(static_cast<size_t>(row) * seg_size, seg_size);
    }
    bool in_step(int row) const {
        return std::memcmp(row_of(master_mo, row).data(), remote_mo[row].data(), seg_size) == 0 &&
               std::memcmp(row_of(master_ro, row).data(), remote_ro[row].data(), seg_size) == 0;
    }
    bool all_in_step() const {
        for (int row = 0; row < kRows; ++row)
            if (!in_step(row)) return false;
        return true;
    }
    void put(std::span<std::byte> segment, size_t word, std::uint32_t value) const {
        std::memcpy(segment.data() + word * 4, &value, 4);
    }
    // Every row linked both ways, as the master's link state file says.
    bool all_linked() const {
        return file_exists(kMasterLinksPath) &&
               count_of(read_file(kMasterLinksPath), "to_remote=up from_remote=up") == static_cast<size_t>(kRows);
    }
    void restart_remote(int id) {
        remotes[id]->kill_group();
        remotes[id] = std::make_unique<Running>(remote_k(id, std::to_string(seg_size)));
    }
};

// Random words into random places of every segment on both sides, until stopped.
class RandomWriter {
  public:
    // Each writer starts its random words from a value of its own: a writer
    // that repeated an earlier one's words would leave the segments as they were.
    RandomWriter(const ServiceSystem& system, std::uint32_t first_state)
        : thread_([this, &system, first_state] {
              std::mt19937 random(first_state);
              const size_t words = system.seg_size / 4;
              while (!stop_) {
                  for (int row = 0; row < kRows; ++row) {
                      system.put(system.row_of(system.master_mo, row), random() % words, random());
                      system.put(system.remote_ro[row], random() % words, random());
                  }
                  std::this_thread::sleep_for(20ms);
              }
          }) {}
    ~RandomWriter() {
        stop_ = true;
        thread_.join();
    }
    RandomWriter(const RandomWriter&) = delete;
    RandomWriter& operator=(const RandomWriter&) = delete;

  private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(ServiceMode, ARemoteKilledAndStartedAgainIsBackInStepAndTheOthersNeverWait) {
    ServiceSystem system(4096);
    ASSERT_TRUE(wait_until([&] { return system.all_linked() && system.all_in_step(); }, 8s));
    for (int restart = 0; restart < 3; ++restart) {
        {
            RandomWriter writer(system, static_cast<std::uint32_t>(restart));
            std::this_thread::sleep_for(300ms);
            system.restart_remote(1);
            std::this_thread::sleep_for(700ms);
        }
        EXPECT_TRUE(wait_until([&] { return system.all_in_step(); }, kRelinkBound)) << "restart " << restart;
    }
    const std::string out = system.master->out();
    EXPECT_EQ(count_of(out, "Master row 1 to_remote: relinked\n"), 3u) << out;
    EXPECT_EQ(count_of(out, "Master row 1 from_remote: relinked\n"), 3u) << out;
    EXPECT_EQ(count_of(out, "Master row 0 to_remote: relinked"), 0u) << out;
    EXPECT_FALSE(contains(out, "Master received update")) << "no line per message";
    const std::string links = read_file(kMasterLinksPath);
    EXPECT_TRUE(contains(links, "row=1 host=localhost to_remote=up from_remote=up since=")) << links;
    EXPECT_TRUE(links.ends_with(" relinks=0\n")) << links;
    EXPECT_EQ(count_of(links, " relinks=6\n"), 1u) << links;
}

TEST(ServiceMode, AMasterKilledAndStartedAgainIsBackInStepAndStopsWhole) {
    ServiceSystem system(4096);
    ASSERT_TRUE(wait_until([&] { return system.all_linked() && system.all_in_step(); }, 8s));
    {
        RandomWriter writer(system, 7);
        std::this_thread::sleep_for(300ms);
        system.master->kill_group();
        system.master = std::make_unique<Running>(master_k());
        std::this_thread::sleep_for(700ms);
    }
    EXPECT_TRUE(wait_until([&] { return system.all_in_step(); }, kRelinkBound));
    EXPECT_TRUE(contains(system.remotes[0]->out(), "Remote 0 to_master: relinked\n")) << system.remotes[0]->out();
    EXPECT_TRUE(contains(system.remotes[0]->out(), "Remote 0 from_master: relinked\n"));

    // kill PID: every process of the daemon ends, and each is reaped.
    std::vector<pid_t> family{system.master->pid()};
    for (size_t i = 0; i < family.size(); ++i)
        for (const pid_t child : children_of(family[i])) family.push_back(child);
    EXPECT_EQ(family.size(), 2u + kRows);  // the sender, the spawner and a receiver per row
    ASSERT_EQ(kill(system.master->pid(), SIGTERM), 0);
    EXPECT_EQ(system.master->wait_exit(5s), 0);
    for (const pid_t pid : family) EXPECT_FALSE(file_exists("/proc/" + std::to_string(pid))) << pid;
    EXPECT_TRUE(file_exists(kMasterLinksPath));
    EXPECT_EQ(run({program("gorv_master"), "-r", "-g", kList}).exit_status, 0);
    EXPECT_FALSE(file_exists(kMasterLinksPath));
    const pid_t remote = system.remotes[2]->pid();
    const std::vector<pid_t> receiver = children_of(remote);
    ASSERT_EQ(receiver.size(), 1u);
    ASSERT_EQ(kill(receiver[0], SIGKILL), 0);  // any process ending ends the daemon, as a failure
    EXPECT_EQ(system.remotes[2]->wait_exit(5s), 1);
    EXPECT_FALSE(file_exists("/proc/" + std::to_string(receiver[0])));
}

TEST(ServiceMode, AFrozenRemoteHoldsUpNoOtherRowAndCatchesUpAfterwards) {
    ServiceSystem system(65536);
    ASSERT_TRUE(wait_until([&] { return system.all_linked() && system.all_in_step(); }, 8s));
    ASSERT_EQ(kill(-system.remotes[1]->pid(), SIGSTOP), 0);
    for (std::uint32_t round = 1; round <= 6; ++round) {
        for (int row = 0; row < kRows; ++row)
            system.put(system.row_of(system.master_mo, row), size_t{round} * 100, round);
        for (const int row : {0, 2})
            EXPECT_TRUE(wait_until([&] { return system.in_step(row); }, 2s)) << "round " << round;
    }
    ASSERT_EQ(kill(-system.remotes[1]->pid(), SIGCONT), 0);
    EXPECT_TRUE(wait_until([&] { return system.in_step(1); }, kRelinkBound));
}

// A peer that knocks on the master's receivers with something else than a
// remote of this system, on loopback.
TEST(ServiceMode, StraysWrongGreetingsAndOtherSizesAreRefusedAndTheRealPeerLinks) {
    write_file(kList, "Clientname=localhost Instances=2\n");
    Running master(master_k());
    // A stray connection that says nothing is replaced by the real remote's.
    const Fd stray = connect_within(kMasterListenBase, 5s);
    ASSERT_TRUE(stray.valid());
    // A remote's receiver whose port is taken waits for it, never moving up.
    Fd held = listen_on(kRemoteListenBase);
    fcntl(held.get(), F_SETFD, FD_CLOEXEC);  // not inherited by the remote started next
    Running remote0(remote_k(0));
    EXPECT_TRUE(wait_until([&] {
        return contains(remote0.out(), "Remote 0 from_master: cannot listen (port 28000: Address already in use, "
                                       "trying again every second)\n");
    }));
    held.close();
    EXPECT_TRUE(wait_until([&] { return contains(master.out(), "Master row 0 from_remote: up\n"); }));
    const Fd late_stray = connect_within(kMasterListenBase, 5s);
    // A plain-mode message is not a greeting; a remote of another -s is refused both ways.
    const Fd wrong = connect_within(kMasterListenBase + 1, 5s);
    send_all(wrong, update_bytes(1, word_pattern(4096, 1, 1)));
    Running other_size(remote_k(1, "8192"));
    EXPECT_TRUE(
        wait_until([&] { return contains(master.out(), "Master row 1 from_remote: refused (not a greeting)\n"); }));
    EXPECT_TRUE(wait_until(
        [&] { return contains(master.out(), "Master row 1 from_remote: refused (Seg_size 8192, not 4096)\n"); }));
    EXPECT_TRUE(wait_until(
        [&] { return contains(other_size.out(), "Remote 1 from_master: refused (Seg_size 4096, not 8192)\n"); }));
    // Refused again every second, said once.
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(count_of(master.out(), "(Seg_size 8192, not 4096)"), 1u) << master.out();
    other_size.kill_group();
    Running remote1(remote_k(1));
    EXPECT_TRUE(wait_until([&] { return contains(master.out(), "Master row 1 to_remote: up\n"); }));
    EXPECT_TRUE(wait_until([&] { return contains(master.out(), "Master row 1 from_remote: up\n"); }));

    // A greeting for another client on a remote's port.
    const Fd other_id = connect_within(kRemoteListenBase, 5s);
    send_all(other_id, encode_greeting(make_greeting(LinkRole::kMaster, 5, 4096)));
    EXPECT_TRUE(
        wait_until([&] { return contains(remote0.out(), "Remote 0 from_master: refused (client id 5, not 0)\n"); }))
        << remote0.out();
    EXPECT_TRUE(wait_until(
        [&] { return contains(master.out(), "Master row 0 from_remote: refused (no greeting within 5 s)\n"); }, 7s));
    EXPECT_FALSE(contains(master.out(), "Master row 0 from_remote: down")) << master.out();
    EXPECT_TRUE(wait_until([&] { return count_of(master.out(), ": up\n") == 4; })) << master.out();
    EXPECT_EQ(count_of(remote0.out(), "cannot listen"), 1u);
}

// A remote on another host than its row's is refused by address; the
// expected host's remote links.
TEST(ServiceMode, APeerFromAnotherHostIsRefused) {
    const TestHosts hosts({"central", "gen1", "intruder"});
    write_file(kList, "Clientname=gen1\n");
    Running master(hosts.on("central", master_k()));
    Running intruder(hosts.on("intruder", remote_k(0, "4096", "central")));
    EXPECT_TRUE(wait_until([&] {
        return contains(master.out(), "Master row 0 from_remote: refused (10.77.0.3 is not an address of gen1)\n");
    }));
    Running remote(hosts.on("gen1", remote_k(0, "4096", "central")));
    EXPECT_TRUE(wait_until([&] { return contains(master.out(), "Master row 0 from_remote: up\n"); }, 5s));
    EXPECT_TRUE(wait_until([&] { return contains(master.out(), "Master row 0 to_remote: up\n"); }, 5s));
    EXPECT_EQ(count_of(master.out(), "is not an address of gen1"), 1u) << master.out();
}

// One -k daemon per set of areas: a second master and a second remote for
// client 0 are refused and change nothing; a release run says who holds
// the areas and goes on.
TEST(ServiceMode, ASecondDaemonForTheSameAreasIsRefusedAndChangesNothing) {
    ServiceSystem system(4096);
    ASSERT_TRUE(wait_until([&] { return system.all_linked() && system.all_in_step(); }, 8s));
    ASSERT_EQ(run({program("ostrela_modify"), "-r", "1", "-o", "500"}).exit_status, 0);
    ASSERT_TRUE(wait_until([&] { return system.all_in_step(); }));
    const auto copy = [](std::span<const std::byte> area) { return std::vector<std::byte>(area.begin(), area.end()); };
    const std::vector<std::vector<std::byte>> areas{copy(system.master_mo), copy(system.master_ro),
                                                    copy(system.remote_mo[0]), copy(system.remote_ro[0])};
    const std::string registry = read_file(kMasterRegistryPath);
    const std::string links = read_file(kMasterLinksPath);
    EXPECT_TRUE(links.starts_with("master_pid=" + std::to_string(system.master->pid()) + "\nrow=0 ")) << links;

    const Finished master = run(master_k());
    EXPECT_EQ(master.exit_status, 1);
    EXPECT_TRUE(master.out.ends_with("Master: a service-mode master (pid " + std::to_string(system.master->pid()) +
                                     ") holds @gorv_master; not started\n"))
        << master.out;
    const Finished remote = run(remote_k(0));
    EXPECT_EQ(remote.exit_status, 1);
    EXPECT_EQ(remote.out, "Remote 0: a service-mode remote (pid " + std::to_string(system.remotes[0]->pid()) +
                              ") holds @gorv_remote_0; not started\n");
    EXPECT_TRUE(areas == (std::vector<std::vector<std::byte>>{copy(system.master_mo), copy(system.master_ro),
                                                              copy(system.remote_mo[0]), copy(system.remote_ro[0])}));
    EXPECT_EQ(read_file(kMasterRegistryPath), registry);
    EXPECT_EQ(read_file(kMasterLinksPath), links);
    EXPECT_FALSE(contains(system.master->out() + system.remotes[0]->out(), "relinked")) << system.master->out();

    const Finished release = run({program("gorv_remote"), "-r", "-H", "localhost", "-n", "2"});
    EXPECT_EQ(release.exit_status, 0);
    EXPECT_EQ(release.err, "Remote 2: a service-mode remote (pid " + std::to_string(system.remotes[2]->pid()) +
                               ") holds @gorv_remote_2; going on\n");
    EXPECT_TRUE(contains(release.out, "Remote released 4096 bytes of RO gorv memory. Key is 0x2718286\n"))
        << release.out;
}

// The ends of service-mode connections take the ports the kernel picks: 20
// remotes started after the master's rows have tried for a while all link,
// and a connection that meets itself is dropped.
TEST(ServiceMode, RemotesStartedLateLinkFromPortsTheKernelPicks) {
    constexpr int kLate = 20;  // and a 21st row whose remote never starts
    write_file(kList, "Clientname=localhost Instances=" + std::to_string(kLate + 1) + "\n");
    Running master(master_k());
    std::this_thread::sleep_for(3s);
    std::vector<std::unique_ptr<Running>> remotes;
    for (int id = 0; id < kLate; ++id) remotes.push_back(std::make_unique<Running>(remote_k(id)));
    ASSERT_TRUE(wait_until(
        [] { return count_of(read_file(kMasterLinksPath), "to_remote=up from_remote=up") == size_t{kLate}; }, 10s));

    unsigned low = 0;
    unsigned high = 0;
    ASSERT_EQ(std::sscanf(read_file("/proc/sys/net/ipv4/ip_local_port_range").c_str(), "%u %u", &low, &high), 2);
    std::istringstream table(read_file("/proc/net/tcp"));
    int connecting_ends = 0;
    for (std::string line; std::getline(table, line);) {
        unsigned local = 0;
        unsigned peer = 0;
        unsigned state = 0;
        if (std::sscanf(line.c_str(), " %*d: %*x:%x %*x:%x %x", &local, &peer, &state) != 3 || state != 1) continue;
        const bool to_remote = peer >= kRemoteListenBase && peer < kRemoteListenBase + kLate;
        const bool to_master = peer >= kMasterListenBase && peer < kMasterListenBase + kLate;
        if (!to_remote && !to_master) continue;
        ++connecting_ends;
        EXPECT_TRUE(local >= low && local <= high) << line;
    }
    EXPECT_EQ(connecting_ends, 2 * kLate);
    for (const auto& remote : remotes) EXPECT_FALSE(contains(remote->out(), "cannot listen")) << remote->out();

    // The kernel may pick the very port it connects to where nobody listens.
    write_file("/proc/sys/net/ipv4/ip_local_port_range", "28020 28021\n");
    EXPECT_TRUE(wait_until(
        [&] { return contains(master.out(), "Master row 20 to_remote: not linked (linked to itself)\n"); }))
        << master.out();
}

}  // namespace
}  // namespace gorv::test
