// Faults and their promised outcomes: peers killed, ports taken, /tmp not
// writable, a peer that stalls half-way through a message.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstring>
#include <stdexcept>
#include <thread>

#include "common/constants.h"
#include "tests/harness/process_harness.h"
#include "tests/harness/test_peer.h"

namespace gorv::test {
namespace {

const std::string kList = "/tmp/clients";

std::vector<std::string> remote_command(int id) {
    return {program("gorv_remote"), "-H", "localhost", "-n", std::to_string(id)};
}

// Waits for the area to exist, then writes one word into it.
void put_word(key_t key, size_t offset, std::uint32_t value) {
    if (!wait_until([&] { return area_info(key).has_value(); }, 10s)) throw std::runtime_error("no area");
    const auto area = attach_area(key);
    if (area.size() < offset + 4) throw std::runtime_error("area too small");
    std::memcpy(area.data() + offset, &value, 4);
    shmdt(area.data());
}

std::uint32_t word_at(key_t key, size_t offset) {
    const auto area = attach_area(key);
    std::uint32_t value = 0;
    if (area.size() >= offset + 4) std::memcpy(&value, area.data() + offset, 4);
    if (!area.empty()) shmdt(area.data());
    return value;
}

bool arrives(key_t to, size_t offset, std::uint32_t value) {
    return wait_until([&] { return word_at(to, offset) == value; }, 15s);
}

// A sender whose peer went away ends on its next writes: by the broken-pipe
// signal, or with status 26 where the signal is not raised. It never hangs.
bool ended_as_a_sender_without_peer(const Finished& ended) {
    return ended.signal == SIGPIPE || ended.exit_status == kExitWriteFailed;
}

TEST(Faults, ARemoteKilledEndsOnlyItsReceiverAndTheOtherRowsGoOn) {
    write_file(kList, "Clientname=localhost Instances=2\n");
    Running master({program("gorv_master"), "-g", kList});
    Running remote0(remote_command(0));
    Running remote1(remote_command(1));
    put_word(kMasterMoKey, 4096, 11);
    ASSERT_TRUE(arrives(kRemoteMoKeyBase + 2, 0, 11));
    std::vector<pid_t> spawner = children_of(master.pid());
    ASSERT_EQ(spawner.size(), 1u);
    ASSERT_EQ(children_of(spawner[0]).size(), 2u);

    remote0.kill_group();
    EXPECT_TRUE(wait_until([&] { return children_of(spawner[0]).size() == 1; }));
    put_word(kMasterMoKey, 4096, 12);
    EXPECT_TRUE(arrives(kRemoteMoKeyBase + 2, 0, 12));
    put_word(kRemoteRoKeyBase + 2, 8, 13);
    EXPECT_TRUE(arrives(kMasterRoKey, 4096 + 8, 13));

    // Row 0's next changes make the sender write to the dead link.
    std::optional<Finished> ended;
    for (std::uint32_t n = 1; n < 50 && !ended; ++n) {
        put_word(kMasterMoKey, 0, n);
        ended = master.wait_end(300ms);
    }
    ASSERT_TRUE(ended.has_value());
    EXPECT_TRUE(ended_as_a_sender_without_peer(*ended));
}

TEST(Faults, AMasterKilledEndsTheRemoteReceiverWithZero) {
    write_file(kList, "Clientname=localhost\n");
    Running master({program("gorv_master"), "-g", kList});
    Running remote(remote_command(0));
    ASSERT_TRUE(wait_until([] { return area_info(kRemoteRoKeyBase).has_value(); }));
    put_word(kMasterMoKey, 0, 21);
    ASSERT_TRUE(arrives(kRemoteMoKeyBase, 0, 21));
    const std::vector<pid_t> receiver = children_of(remote.pid());
    ASSERT_EQ(receiver.size(), 1u);

    master.kill_group();
    ASSERT_TRUE(wait_until([&] { return unreaped_exit_status(receiver[0]).has_value(); }));
    EXPECT_EQ(unreaped_exit_status(receiver[0]), 0);
    EXPECT_NE(remote.out().find("Remote socket closed. Exiting... \n"), std::string::npos);

    std::optional<Finished> ended;
    for (std::uint32_t n = 1; n < 50 && !ended; ++n) {
        put_word(kRemoteRoKeyBase, 0, n);
        ended = remote.wait_end(300ms);
    }
    ASSERT_TRUE(ended.has_value());
    EXPECT_TRUE(ended_as_a_sender_without_peer(*ended));
}

TEST(Faults, AListeningPortAlreadyTakenMovesTheListenerUp) {
    const Fd taken_master = listen_on(kMasterListenBase);
    const Fd taken_remote = listen_on(kRemoteListenBase);
    write_file(kList, "Clientname=localhost\n");
    Running master({program("gorv_master"), "-g", kList});
    Running remote(remote_command(0));
    EXPECT_TRUE(wait_until([&] {
        return master.out().find("Master's child: Async Listen: Bound at port 22001\n") != std::string::npos;
    }));
    // The remote logs at level 1: its bound port does not show, but the master
    // cannot reach it on 28000, where the test's own socket listens.
    const Fd master_link = accept_within(taken_remote, 10s);
    EXPECT_TRUE(master_link.valid());
}

TEST(Faults, ATmpThatCannotBeWrittenIsReportedAndTheDaemonsGoOn) {
    ASSERT_EQ(mkdir(kOutputDir, 0755), 0);
    ASSERT_EQ(mount("tmpfs", kOutputDir, "tmpfs", 0, nullptr), 0);
    write_file(kList, "Clientname=localhost\n");
    ASSERT_EQ(mount(nullptr, "/tmp", nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);

    Running master({program("gorv_master"), "-g", kList});
    Running remote(remote_command(0));
    EXPECT_TRUE(wait_until(
        [&] { return master.err().starts_with("/tmp/gorv_master_registry: Read-only file system\n"); }));
    EXPECT_TRUE(wait_until(
        [&] { return remote.err().starts_with("/tmp/gorv_registry_client_0: Read-only file system\n"); }));
    put_word(kRemoteRoKeyBase, 0, 31);
    EXPECT_TRUE(arrives(kMasterRoKey, 0, 31));
}

TEST(Faults, ToolsRunAgainstReleasedAreasFailCleanly) {
    write_file(kList, "Clientname=localhost\n");
    Running master({program("gorv_master"), "-s", "8192", "-g", kList});
    ASSERT_TRUE(wait_until([] { return file_exists(kMasterRegistryPath); }));
    const std::string registry = read_file(kMasterRegistryPath);
    ASSERT_EQ(run({program("ostrela_modify"), "-o", "5"}).exit_status, 0);

    ASSERT_EQ(run({program("gorv_master"), "-r", "-s", "8192", "-g", kList}).exit_status, 0);
    const Finished modify = run({program("ostrela_modify"), "-o", "5"});
    EXPECT_EQ(modify.exit_status, 1);
    EXPECT_EQ(modify.out, "Get_master_master_zone failed\n");

    // A registry file left behind names areas that are gone.
    write_file(kMasterRegistryPath, registry);
    const Finished stale_modify = run({program("ostrela_modify"), "-o", "5"});
    EXPECT_EQ(stale_modify.exit_status, 1);
    EXPECT_EQ(stale_modify.out, "1 Active clients\nShmid -1 Errno 2\nGet_master_master_zone failed\n");
    const Finished stale_monitor = run({program("ostrela_monitor")});
    EXPECT_EQ(stale_monitor.exit_status, 1);
    EXPECT_EQ(stale_monitor.out, "Monitoring 1 clients\nShmid -1 Errno 2\nGet_master_zone failed\n");
}

TEST(Faults, HalfAMessageIsNotAppliedUntilTheRestArrives) {
    write_file(kList, "Clientname=localhost\n");
    Running master({program("gorv_master"), "-g", kList});
    const Fd link = connect_within(kMasterListenBase, 10s);
    ASSERT_TRUE(link.valid());
    const Bytes message = update_bytes(0, word_pattern(4096, 41, 1));
    const std::span<const std::uint8_t> bytes(message);
    send_all(link, bytes.first(2050));
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(word_at(kMasterRoKey, 0), 0u);
    send_all(link, bytes.subspan(2050));
    EXPECT_TRUE(arrives(kMasterRoKey, 4092, 41 + 1023));
    EXPECT_EQ(word_at(kMasterRoKey, 0), 41u);
}

}  // namespace
}  // namespace gorv::test
