// The real master and remote daemons together: on loopback, and on separate
// hosts (network namespaces on a bridge) over IPv4 and IPv6. The hosts share
// the test's IPC namespace, so the test reaches every daemon's areas.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <memory>
#include <thread>

#include "common/constants.h"
#include "tests/harness/process_harness.h"
#include "tests/harness/test_hosts.h"

namespace gorv::test {
namespace {

const std::string kList = "/tmp/clients";
constexpr size_t kSegSize = 4096;
// Linking up takes a connection attempt or two a second apart on each side.
constexpr Millis kLinkBound = 8s;
// A change travels within one pass of the sender that owns it.
constexpr Millis kChangeBound = 4s;

key_t remote_mo_key(int id) { return kRemoteMoKeyBase + 2 * id; }
key_t remote_ro_key(int id) { return kRemoteRoKeyBase + 2 * id; }

std::uint32_t word_at(std::span<const std::byte> segment, size_t k) {
    std::uint32_t value = 0;
    if ((k + 1) * 4 <= segment.size()) std::memcpy(&value, segment.data() + k * 4, 4);
    return value;
}

void put_word(std::span<std::byte> segment, size_t k, std::uint32_t value) {
    std::memcpy(segment.data() + k * 4, &value, 4);
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string id_text(int id) { return std::to_string(id); }

// A master and its remotes, started by the test and each killed with it.
struct System {
    std::unique_ptr<Running> master;
    std::vector<std::unique_ptr<Running>> remotes;

    // Both links of every remote carry their first message.
    bool linked() const {
        for (size_t id = 0; id < remotes.size(); ++id) {
            const std::string n = id_text(static_cast<int>(id));
            if (!contains(remotes[id]->out(), "Remote[" + n + "] got update for mo segment #" + n + "\n") ||
                !contains(master->out(), "Master received update from remote id " + n + "\n"))
                return false;
        }
        return true;
    }
};

std::span<std::byte> master_segment(key_t key, int row) {
    const std::span<std::byte> area = attach_area(key);
    if (area.size() < (static_cast<size_t>(row) + 1) * kSegSize) return {};
    return area.subspan(static_cast<size_t>(row) * kSegSize, kSegSize);
}

// A word written into the master's MO segment i shows in remote i's MO
// segment, and one written into remote i's RO segment in the master's RO
// segment i; every client gets words of its own.
void expect_in_step_both_ways(size_t clients, std::uint32_t salt) {
    for (size_t i = 0; i < clients; ++i) {
        const int id = static_cast<int>(i);
        put_word(master_segment(kMasterMoKey, id), 10 + i, salt + 0x100 + static_cast<std::uint32_t>(i));
        put_word(attach_area(remote_ro_key(id)), 1023 - i, salt + 0x200 + static_cast<std::uint32_t>(i));
    }
    for (size_t i = 0; i < clients; ++i) {
        const int id = static_cast<int>(i);
        const std::span<std::byte> remote_mo = attach_area(remote_mo_key(id));
        const std::span<std::byte> master_ro = master_segment(kMasterRoKey, id);
        EXPECT_TRUE(wait_until([&] { return word_at(remote_mo, 10 + i) == salt + 0x100 + i; }, kChangeBound))
            << "MO segment " << i;
        EXPECT_TRUE(wait_until([&] { return word_at(master_ro, 1023 - i) == salt + 0x200 + i; }, kChangeBound))
            << "RO segment " << i;
        // No other client's word lands here.
        for (size_t j = 0; j < clients; ++j) {
            if (j == i) continue;
            EXPECT_EQ(word_at(remote_mo, 10 + j), 0u) << "MO segment " << i;
            EXPECT_EQ(word_at(master_ro, 1023 - j), 0u) << "RO segment " << i;
        }
    }
}

std::vector<std::string> remote_argv(const std::string& master_host, int id, std::vector<std::string> more = {}) {
    std::vector<std::string> argv{program("gorv_remote"), "-H", master_host, "-n", id_text(id)};
    argv.insert(argv.end(), more.begin(), more.end());
    return argv;
}

TEST(EndToEnd, AMasterAndThreeRemotesKeepTheSegmentsInStep) {
    write_file(kList, "Clientname=localhost Instances=3\n");
    System system;
    system.master = std::make_unique<Running>(std::vector<std::string>{program("gorv_master"), "-g", kList});
    for (int id = 0; id < 3; ++id) system.remotes.push_back(std::make_unique<Running>(remote_argv("localhost", id)));
    ASSERT_TRUE(wait_until([&] { return system.linked(); }, kLinkBound)) << system.master->out();

    expect_in_step_both_ways(3, 0xa0000000);
    for (int id = 0; id < 3; ++id) {
        EXPECT_TRUE(contains(system.remotes[id]->out(),
                             "Remote[" + id_text(id) + "] sending update to master \"localhost\" \n"));
        EXPECT_EQ(system.remotes[id]->err(), "");
    }
    EXPECT_EQ(system.master->err(), "");
}

TEST(EndToEnd, ARemoteStartedBeforeTheMasterLinksUpOnceTheMasterRuns) {
    write_file(kList, "Clientname=localhost\n");
    Running remote(remote_argv("localhost", 0));
    ASSERT_TRUE(wait_until([] { return file_exists("/tmp/gorv_registry_client_0"); }));
    put_word(attach_area(remote_ro_key(0)), 7, 0x5eed0001);
    // Its sender finds no master for a few attempts.
    std::this_thread::sleep_for(1500ms);

    Running master({program("gorv_master"), "-g", kList});
    // The word written before the master ran comes with the first pass.
    EXPECT_TRUE(wait_until([&] { return word_at(master_segment(kMasterRoKey, 0), 7) == 0x5eed0001u; }, kLinkBound));
    EXPECT_TRUE(wait_until([&] { return contains(remote.out(), "Remote[0] got update for mo segment #0\n"); },
                           kLinkBound));
    put_word(master_segment(kMasterMoKey, 0), 3, 0x5eed0002);
    EXPECT_TRUE(wait_until([&] { return word_at(attach_area(remote_mo_key(0)), 3) == 0x5eed0002u; }, kChangeBound));
}

TEST(EndToEnd, AMasterThatEndsEndsTheRemotesReceiverButNotItsSender) {
    write_file(kList, "Clientname=localhost\n");
    System system;
    system.master = std::make_unique<Running>(std::vector<std::string>{program("gorv_master"), "-g", kList});
    system.remotes.push_back(std::make_unique<Running>(remote_argv("localhost", 0)));
    ASSERT_TRUE(wait_until([&] { return system.linked(); }, kLinkBound));
    const Running& remote = *system.remotes[0];
    const std::vector<pid_t> children = children_of(remote.pid());
    ASSERT_EQ(children.size(), 1u);

    system.master->kill_group();
    std::optional<int> status;
    EXPECT_TRUE(wait_until([&] { return (status = unreaped_exit_status(children[0])).has_value(); }));
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(remote.out().ends_with("Remote socket closed. Exiting... \n")) << remote.out();
    // The sender makes its next passes; with nothing changed it writes nothing.
    EXPECT_FALSE(system.remotes[0]->wait_exit(1100ms).has_value());
    EXPECT_EQ(kill(remote.pid(), 0), 0);
}

// A master host and two client hosts, each with its own address and name.
class AcrossHosts : public testing::TestWithParam<bool> {};

TEST_P(AcrossHosts, MasterAndRemotesOnSeparateHostsKeepTheSegmentsInStep) {
    const bool ipv6 = GetParam();
    const TestHosts hosts({"central", "gen1", "gen2"});
    write_file(kList, "Clientname=gen1\nClientname=gen2\n");
    const std::vector<std::string> family = ipv6 ? std::vector<std::string>{"-y", "6"} : std::vector<std::string>{};

    System system;
    std::vector<std::string> master_argv{program("gorv_master"), "-g", kList};
    master_argv.insert(master_argv.end(), family.begin(), family.end());
    system.master = std::make_unique<Running>(hosts.on("central", master_argv));
    system.remotes.push_back(std::make_unique<Running>(hosts.on("gen1", remote_argv("central", 0, family))));
    system.remotes.push_back(std::make_unique<Running>(hosts.on("gen2", remote_argv("central", 1, family))));
    ASSERT_TRUE(wait_until([&] { return system.linked(); }, kLinkBound))
        << system.master->out() << system.master->err() << system.remotes[0]->err();

    expect_in_step_both_ways(2, ipv6 ? 0x60000000 : 0x40000000);
    EXPECT_TRUE(contains(system.master->out(), "Master sending update message to remote \"gen2\" size 4100 ID: 1\n"));
    EXPECT_TRUE(contains(system.remotes[1]->out(), "Remote[1] sending update to master \"central\" \n"));
    // Each remote reached the master from its own address: the master's
    // links lead to both client hosts.
    const Finished links = run(hosts.on("central", {"/usr/bin/ss", "-tn", "state", "established"}));
    const std::string gen1 = ipv6 ? "[fd77::2]:26000" : "10.77.0.2:26000";
    const std::string gen2 = ipv6 ? "[fd77::3]:26000" : "10.77.0.3:26000";
    EXPECT_TRUE(contains(links.out, gen1) && contains(links.out, gen2)) << links.out;
}

INSTANTIATE_TEST_SUITE_P(Families, AcrossHosts, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "IPv6" : "IPv4"; });

}  // namespace
}  // namespace gorv::test
