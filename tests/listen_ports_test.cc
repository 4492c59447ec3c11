// Receivers whose own port is taken: each ends up alone on a port it listens
// on, says which, and a remote's receiver that moved up onto another
// client's port takes none of that client's updates.
#include <gtest/gtest.h>
#include <sys/shm.h>

#include <cstring>
#include <set>
#include <sstream>

#include "common/constants.h"
#include "tests/harness/process_harness.h"
#include "tests/harness/test_peer.h"

namespace gorv::test {
namespace {

const std::string kList = "/tmp/clients";

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The TCP ports something listens on in the test's network namespace.
std::set<int> listening_ports() {
    std::istringstream lines(run({"/usr/bin/ss", "-ltnH"}).out);
    std::set<int> ports;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string state, receive_queue, send_queue, local;
        fields >> state >> receive_queue >> send_queue >> local;
        const size_t colon = local.rfind(':');
        if (colon != std::string::npos) ports.insert(std::stoi(local.substr(colon + 1)));
    }
    return ports;
}

bool all_listen(std::initializer_list<int> ports) {
    const std::set<int> now = listening_ports();
    for (const int port : ports)
        if (!now.contains(port)) return false;
    return true;
}

// Two receivers that bind one port before either listens must not share it:
// the race shows in some starts only, so the master is started a few times.
TEST(ListenPorts, ReceiversPushedUpByAForeignListenerEachGetTheirOwnPort) {
    const Fd foreign = listen_on(kMasterListenBase);
    write_file(kList, "Clientname=localhost Instances=4\n");
    for (int start = 0; start < 3; ++start) {
        // The last start's receivers may still hold their ports for a moment
        // after its master was ended: they would push this start's up.
        ASSERT_TRUE(wait_until([] { return listening_ports() == std::set<int>{kMasterListenBase}; }));
        Running master({program("gorv_master"), "-g", kList});
        std::vector<pid_t> spawner;
        ASSERT_TRUE(wait_until([&] { return (spawner = children_of(master.pid())).size() == 1; }));
        EXPECT_TRUE(wait_until([&] {
            return children_of(spawner[0]).size() == 4 && all_listen({22001, 22002, 22003, 22004});
        })) << master.out();
        EXPECT_FALSE(contains(master.out(), "Master failed.")) << master.out();
        EXPECT_TRUE(wait_until([&] { return contains(master.err(), "Master's child 0: port 22000 is taken"); }));
        EXPECT_TRUE(contains(master.err(), "Master's child 0: port 22000 is taken, listening on port 2200"))
            << master.err();
    }
}

// Remotes 0 and 1 hold 28000 and 28001; a second remote 0 moves up onto
// 28002, where the master's sender links row 2 to it.
TEST(ListenPorts, ARemoteOnAnotherClientsPortDropsThatClientsUpdates) {
    write_file(kList, "Clientname=localhost Instances=3\n");
    Running master({program("gorv_master"), "-g", kList});
    Running remote0({program("gorv_remote"), "-H", "localhost", "-n", "0"});
    Running remote1({program("gorv_remote"), "-H", "localhost", "-n", "1"});
    ASSERT_TRUE(wait_until([] { return all_listen({28000, 28001}); }));
    Running stray({program("gorv_remote"), "-H", "localhost", "-n", "0"});
    ASSERT_TRUE(wait_until([] { return all_listen({28002}); }));
    EXPECT_TRUE(wait_until([&] { return !stray.err().empty(); }));
    EXPECT_EQ(stray.err(), "Remote 0: port 28000 is taken, listening on port 28002\n");

    ASSERT_TRUE(wait_until([] { return area_info(kMasterMoKey).has_value(); }));
    const auto mo = attach_area(kMasterMoKey);
    const std::uint32_t row2_word = 777;
    std::memcpy(mo.data() + size_t{2} * 4096, &row2_word, 4);
    EXPECT_TRUE(wait_until(
        [&] { return contains(stray.out(), "Remote[0] dropped update for mo segment #2: not client 0\n"); }, 10s))
        << stray.out();
    EXPECT_FALSE(contains(stray.out(), "got update for mo segment #2"));
    const auto remote0_mo = attach_area(kRemoteMoKeyBase);
    std::uint32_t held = 0;
    std::memcpy(&held, remote0_mo.data(), 4);
    EXPECT_NE(held, row2_word);
    shmdt(mo.data());
    shmdt(remote0_mo.data());
}

}  // namespace
}  // namespace gorv::test
