// gorv_remote's sender and receiver against test peers on loopback: the
// peers stand in for the master and check every byte on the wire.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <thread>

#include "common/constants.h"
#include "tests/harness/process_harness.h"
#include "tests/harness/test_peer.h"

namespace gorv::test {
namespace {

// Client id 3: keys 0x2718287 and 0x2718288, ports 22003 and 28003.
constexpr key_t kMoKey = kRemoteMoKeyBase + 6;
constexpr key_t kRoKey = kRemoteRoKeyBase + 6;
constexpr std::uint16_t kMasterPort = kMasterListenBase + 3;
constexpr std::uint16_t kRemotePort = kRemoteListenBase + 3;
constexpr size_t kSegSize = 4096;
constexpr size_t kMessageLength = kSegSize + 4;
constexpr Millis kBound = 5s;

const std::string kStarted =
    "Remote allocated/attached 4096 bytes of MO gorv memory. Key is 0x2718287\n"
    "Remote allocated/attached 4096 bytes of RO gorv memory. Key is 0x2718288\n";

std::vector<std::string> remote_3(std::vector<std::string> more = {}) {
    std::vector<std::string> argv{program("gorv_remote"), "-H", "127.0.0.1", "-n", "3"};
    argv.insert(argv.end(), more.begin(), more.end());
    return argv;
}

std::vector<std::uint32_t> zeros() { return std::vector<std::uint32_t>(kSegSize / 4, 0); }

void put_word(std::span<std::byte> segment, size_t k, std::uint32_t value) {
    std::memcpy(segment.data() + k * 4, &value, 4);
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The daemon's receiver: its one child.
pid_t receiver_of(const Running& daemon) {
    std::vector<pid_t> children;
    if (!wait_until([&] { return (children = children_of(daemon.pid())).size() == 1; })) return -1;
    return children[0];
}

TEST(RemoteSender, SendsItsSegmentInTheFirstPassThenOnlyWhenItChanged) {
    const Fd listener = listen_on(kMasterPort);
    Running daemon(remote_3());
    std::uint16_t local_port = 0;
    const Fd link = accept_within(listener, kBound, &local_port);
    ASSERT_TRUE(link.valid());
    EXPECT_EQ(local_port, kRemoteFirstLocalPort);
    EXPECT_EQ(read_within(link, kMessageLength, kBound), update_bytes(3, zeros()));

    // Changed twice between two passes: sent once, as it stands last.
    const std::span<std::byte> ro = attach_area(kRoKey);
    ASSERT_EQ(ro.size(), kSegSize);
    put_word(ro, 5, 0x01020304);
    put_word(ro, 1023, 0xcafef00d);
    put_word(ro, 5, 0x0a0b0c0d);
    std::vector<std::uint32_t> latest = zeros();
    latest[5] = 0x0a0b0c0d;
    latest[1023] = 0xcafef00d;
    EXPECT_EQ(read_within(link, kMessageLength, kBound), update_bytes(3, latest));

    const Fd* only[] = {&link};
    EXPECT_TRUE(quiet_for(only, 1500ms));
    // Level 1: the comparisons and the link's set-up print nothing.
    const std::string sent = "Remote[3] sending update to master \"127.0.0.1\" \n";
    EXPECT_EQ(daemon.out(), kStarted + sent + sent);
    EXPECT_EQ(daemon.err(), "");
}

TEST(RemoteSender, SendsWhatAnEarlierRunLeftInTheSegment) {
    create_area(kRoKey, kSegSize);
    const auto left = word_pattern(kSegSize, 0x11223344, 0x01000001);
    std::memcpy(attach_area(kRoKey).data(), left.data(), kSegSize);
    const Fd listener = listen_on(kMasterPort);
    Running daemon(remote_3());
    const Fd link = accept_within(listener, kBound);
    ASSERT_TRUE(link.valid());
    EXPECT_EQ(read_within(link, kMessageLength, kBound), update_bytes(3, left));
}

TEST(RemoteReceiver, CopiesItsOwnUpdatesIntoItsOnlySegmentAndDropsOthers) {
    Running daemon(remote_3());
    const pid_t receiver = receiver_of(daemon);
    ASSERT_GT(receiver, 0);
    const Fd link = connect_within(kRemotePort, kBound);
    ASSERT_TRUE(link.valid());
    const std::span<std::byte> mo = attach_area(kMoKey);
    ASSERT_EQ(mo.size(), kSegSize);

    // Another client's update, then one of this client's in pieces.
    send_all(link, update_bytes(7, word_pattern(kSegSize, 0x01020304, 7)));
    const auto b = word_pattern(kSegSize, 0xf0000000, 0x01010101);
    const Bytes pieces = update_bytes(3, b);
    send_all(link, std::span(pieces).first(1000));
    std::this_thread::sleep_for(30ms);
    send_all(link, std::span(pieces).subspan(1000));
    EXPECT_TRUE(wait_until([&] { return words_of(mo) == b; }));
    // Two back to back: the other client's is dropped, this one's stays.
    const auto c = word_pattern(kSegSize, 5, 5);
    Bytes both = update_bytes(3, c);
    const Bytes next = update_bytes(254, word_pattern(kSegSize, 9, 9));
    both.insert(both.end(), next.begin(), next.end());
    send_all(link, both);

    EXPECT_TRUE(wait_until([&] { return contains(daemon.out(), "#254: not client 3\n"); }));
    EXPECT_TRUE(words_of(mo) == c);
    EXPECT_EQ(daemon.out(), kStarted +
                                "Remote[3] dropped update for mo segment #7: not client 3\n"
                                "Remote[3] got update for mo segment #3\n"
                                "Remote[3] got update for mo segment #3\n"
                                "Remote[3] dropped update for mo segment #254: not client 3\n");
}

// The master closing its link, even in the middle of a message, ends the
// receiver with 0; the sender, still trying to reach the master, goes on.
TEST(RemoteReceiver, APeerClosingItsLinkEndsTheReceiverOnly) {
    Running daemon(remote_3());
    const pid_t receiver = receiver_of(daemon);
    ASSERT_GT(receiver, 0);
    {
        const Fd link = connect_within(kRemotePort, kBound);
        ASSERT_TRUE(link.valid());
        send_all(link, Bytes(100, 9));
    }
    std::optional<int> status;
    EXPECT_TRUE(wait_until([&] { return (status = unreaped_exit_status(receiver)).has_value(); }));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(daemon.out(), kStarted + "Remote socket closed. Exiting... \n");
    EXPECT_TRUE(words_of(attach_area(kMoKey)) == zeros());
    EXPECT_FALSE(daemon.wait_exit(1100ms).has_value());
    EXPECT_EQ(kill(daemon.pid(), 0), 0);
}

// The listening socket's receive buffer is one message: the kernel reports
// twice the size asked for.
TEST(RemoteReceiver, ListensWithAReceiveBufferOfOneMessage) {
    Running daemon(remote_3({"-s", "8192"}));
    ASSERT_TRUE(wait_until([] { return contains(run({"/usr/bin/ss", "-ltn"}).out, ":28003 "); }));
    const Finished sockets = run({"/usr/bin/ss", "-ltnm", "sport = :28003"});
    EXPECT_TRUE(contains(sockets.out, ",rb" + std::to_string(2 * (8192 + 4)) + ",")) << sockets.out;
}

TEST(RemoteSync, WithSizeZeroMessagesAreDestWhoAlone) {
    const Fd listener = listen_on(kMasterPort);
    Running daemon(remote_3({"-s", "0"}));
    const Fd to_master = accept_within(listener, kBound);
    ASSERT_TRUE(to_master.valid());
    EXPECT_EQ(read_within(to_master, 4, kBound), (Bytes{0, 0, 0, 3}));
    const Fd* only[] = {&to_master};
    EXPECT_TRUE(quiet_for(only, 1500ms));

    const Fd from_master = connect_within(kRemotePort, kBound);
    ASSERT_TRUE(from_master.valid());
    send_all(from_master, Bytes{0, 0, 0, 3, 0, 0, 0, 4});
    EXPECT_TRUE(wait_until([&] { return contains(daemon.out(), "#4: not client 3\n"); }));
    EXPECT_EQ(daemon.out(),
              "Remote[3] sending update to master \"127.0.0.1\" \n"
              "Remote[3] got update for mo segment #3\n"
              "Remote[3] dropped update for mo segment #4: not client 3\n");
    EXPECT_FALSE(area_info(kMoKey).has_value());
}

}  // namespace
}  // namespace gorv::test
