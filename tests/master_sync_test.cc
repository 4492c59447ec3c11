// gorv_master's sender and receivers against test peers on loopback: the
// peers stand in for the remote daemons and check every byte on the wire.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "common/constants.h"
#include "tests/harness/process_harness.h"
#include "tests/harness/test_peer.h"

namespace gorv::test {
namespace {

const std::string kList = "/tmp/clients";
constexpr size_t kSegSize = 4096;
constexpr size_t kMessageLength = kSegSize + 4;
constexpr Millis kBound = 5s;

std::vector<std::uint32_t> zeros() { return std::vector<std::uint32_t>(kSegSize / 4, 0); }

std::span<std::byte> segment(std::span<std::byte> area, size_t row) { return area.subspan(row * kSegSize, kSegSize); }

void put_word(std::span<std::byte> segment, size_t k, std::uint32_t value) {
    std::memcpy(segment.data() + k * 4, &value, 4);
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Links accepted from the master's sender, one per row, in row order.
std::vector<Fd> accept_rows(const std::vector<Fd>& listeners) {
    std::vector<Fd> links;
    for (size_t row = 0; row < listeners.size(); ++row) {
        std::uint16_t local_port = 0;
        links.push_back(accept_within(listeners[row], kBound, &local_port));
        EXPECT_TRUE(links.back().valid()) << "row " << row;
        EXPECT_EQ(local_port, kMasterFirstLocalPort + row);
    }
    return links;
}

std::vector<Fd> listen_rows(size_t rows) {
    std::vector<Fd> listeners;
    for (size_t row = 0; row < rows; ++row)
        listeners.push_back(listen_on(static_cast<std::uint16_t>(kRemoteListenBase + row)));
    return listeners;
}

Fd connect_receiver(size_t row) { return connect_within(static_cast<std::uint16_t>(kMasterListenBase + row), kBound); }

bool segment_holds(std::span<std::byte> area, size_t row, const std::vector<std::uint32_t>& words) {
    return words_of(segment(area, row)) == words;
}

TEST(MasterSender, SendsEverySegmentOnceThenOnlyWhatChanged) {
    write_file(kList, "Clientname=127.0.0.1 Instances=2\n");
    const std::vector<Fd> listeners = listen_rows(2);
    Running master({program("gorv_master"), "-g", kList});
    const std::vector<Fd> links = accept_rows(listeners);
    ASSERT_EQ(links.size(), 2u);
    EXPECT_EQ(read_within(links[0], kMessageLength, kBound), update_bytes(0, zeros()));
    EXPECT_EQ(read_within(links[1], kMessageLength, kBound), update_bytes(1, zeros()));

    // Changed twice between two passes: sent once, as it stands last.
    const std::span<std::byte> mo = attach_area(kMasterMoKey);
    ASSERT_EQ(mo.size(), 2 * kSegSize);
    put_word(segment(mo, 1), 0, 0x01020304);
    put_word(segment(mo, 1), 1023, 0xdeadbeef);
    put_word(segment(mo, 1), 0, 0x0a0b0c0d);
    std::vector<std::uint32_t> latest = zeros();
    latest[0] = 0x0a0b0c0d;
    latest[1023] = 0xdeadbeef;
    EXPECT_EQ(read_within(links[1], kMessageLength, kBound), update_bytes(1, latest));

    // Nothing changes: nothing more is sent.
    const Fd* both[] = {&links[0], &links[1]};
    EXPECT_TRUE(quiet_for(both, 1500ms));

    const std::string out = master.out();
    EXPECT_TRUE(contains(out,
                         "Master parent starting\n"
                         "Master: Bound async send port 24000\n"
                         "Master: calling connect..\n"
                         "Master async send Connected\n"))
        << out;
    EXPECT_TRUE(contains(out,
                         "Sync for master owned segment 1 for 127.0.0.1\n"
                         "Neutral size = 4100\n"
                         "Master sending update message to remote \"127.0.0.1\" size 4100 ID: 1\n"));
    EXPECT_EQ(master.err(), "");
}

TEST(MasterSender, ARowWhosePeerIsNotUpHoldsUpTheRowsAfterIt) {
    write_file(kList, "Clientname=127.0.0.1 Instances=2\n");
    const Fd second = listen_on(kRemoteListenBase + 1);
    Running master({program("gorv_master"), "-g", kList});
    EXPECT_FALSE(accept_within(second, 1500ms).valid());

    const Fd first = listen_on(kRemoteListenBase);
    std::uint16_t local_port = 0;
    const Fd row0 = accept_within(first, kBound, &local_port);
    ASSERT_TRUE(row0.valid());
    EXPECT_EQ(local_port, 24000);
    const Fd row1 = accept_within(second, kBound, &local_port);
    ASSERT_TRUE(row1.valid());
    EXPECT_EQ(local_port, 24001);
    EXPECT_EQ(read_within(row0, kMessageLength, kBound), update_bytes(0, zeros()));
    EXPECT_EQ(read_within(row1, kMessageLength, kBound), update_bytes(1, zeros()));
}

TEST(MasterSender, AFailedLookUpIsRepeatedAndNeverFallsBackToAnEarlierHost) {
    write_file(kList, "Clientname=127.0.0.1\nClientname=no-such-host.invalid\n");
    const std::vector<Fd> listeners = listen_rows(2);
    Running master({program("gorv_master"), "-g", kList});
    const Fd row0 = accept_within(listeners[0], kBound);
    ASSERT_TRUE(row0.valid());
    const std::string line = "no-such-host.invalid could not be located by getaddrinfo\n";
    ASSERT_TRUE(wait_until([&] { return master.err() == line + line; }));
    EXPECT_FALSE(accept_within(listeners[1], 0ms).valid());
    const Fd* first[] = {&row0};
    EXPECT_TRUE(quiet_for(first, 0ms));  // no pass before every row is linked
}

TEST(MasterSync, ThreeClientsExchangeUpdatesBothWays) {
    write_file(kList, "Clientname=127.0.0.1 Instances=3\n");
    const std::vector<Fd> listeners = listen_rows(3);
    Running master({program("gorv_master"), "-g", kList});
    const std::vector<Fd> links = accept_rows(listeners);
    ASSERT_EQ(links.size(), 3u);
    for (size_t row = 0; row < 3; ++row)
        EXPECT_EQ(read_within(links[row], kMessageLength, kBound),
                  update_bytes(static_cast<std::int32_t>(row), zeros()));

    const std::span<std::byte> ro = attach_area(kMasterRoKey);
    ASSERT_EQ(ro.size(), 3 * kSegSize);
    const Fd to_row0 = connect_receiver(0);
    const Fd to_row1 = connect_receiver(1);
    const Fd to_row2 = connect_receiver(2);
    ASSERT_TRUE(to_row0.valid() && to_row1.valid() && to_row2.valid());

    // dest_who names the segment, whichever receiver takes the message.
    const auto a = word_pattern(kSegSize, 0x01020304, 7);
    send_all(to_row1, update_bytes(2, a));
    EXPECT_TRUE(wait_until([&] { return segment_holds(ro, 2, a); }));

    // A message in pieces.
    const auto b = word_pattern(kSegSize, 0xf0000000, 0x01010101);
    const Bytes pieces = update_bytes(0, b);
    send_all(to_row0, std::span(pieces).first(1000));
    std::this_thread::sleep_for(30ms);
    send_all(to_row0, std::span(pieces).subspan(1000, 3000));
    std::this_thread::sleep_for(30ms);
    send_all(to_row0, std::span(pieces).subspan(4000));
    EXPECT_TRUE(wait_until([&] { return segment_holds(ro, 0, b); }));

    // Two messages back to back.
    const auto c = word_pattern(kSegSize, 5, 5);
    const auto d = word_pattern(kSegSize, 0x80000000, 3);
    Bytes both = update_bytes(1, c);
    const Bytes next = update_bytes(2, d);
    both.insert(both.end(), next.begin(), next.end());
    send_all(to_row2, both);
    EXPECT_TRUE(wait_until([&] { return segment_holds(ro, 1, c) && segment_holds(ro, 2, d); }));

    EXPECT_TRUE(wait_until([&] { return contains(master.out(), "Master received update from remote id 1\n"); }));
    const std::string out = master.out();
    EXPECT_TRUE(contains(out, "Master got dest_who of 0\nMaster received update from remote id 0\n")) << out;
    EXPECT_TRUE(contains(out, "Master's child: Async Listen: Bound at port 22002\n"));
    EXPECT_TRUE(contains(out, "Master 2 enters accept\n"));
    EXPECT_TRUE(contains(out, "Master looping in receive \n"));
}

TEST(MasterSync, IPv6WhenAskedFor) {
    try {
        listen_on(kRemoteListenBase, true);
    } catch (const std::exception& no_ipv6) {
        GTEST_SKIP() << no_ipv6.what();
    }
    write_file(kList, "Clientname=::1\n");
    const Fd listener = listen_on(kRemoteListenBase, true);
    Running master({program("gorv_master"), "-y", "6", "-g", kList});
    std::uint16_t local_port = 0;
    const Fd row0 = accept_within(listener, kBound, &local_port);
    ASSERT_TRUE(row0.valid());
    EXPECT_EQ(local_port, 24000);
    EXPECT_EQ(read_within(row0, kMessageLength, kBound), update_bytes(0, zeros()));

    const Fd to_row0 = connect_within(kMasterListenBase, kBound, true);
    ASSERT_TRUE(to_row0.valid());
    const auto a = word_pattern(kSegSize, 3, 3);
    send_all(to_row0, update_bytes(0, a));
    const std::span<std::byte> ro = attach_area(kMasterRoKey);
    ASSERT_EQ(ro.size(), kSegSize);
    EXPECT_TRUE(wait_until([&] { return segment_holds(ro, 0, a); }));
}

TEST(MasterReceiver, DropsAnUpdateForNoSuchSegmentAndGoesOn) {
    write_file(kList, "Clientname=127.0.0.1 Instances=3\n");
    Running master({program("gorv_master"), "-g", kList});
    const Fd link = connect_receiver(1);
    ASSERT_TRUE(link.valid());
    const std::vector<std::uint32_t> ones(kSegSize / 4, 0xffffffff);
    send_all(link, update_bytes(3, ones));
    send_all(link, update_bytes(-1, ones));
    const auto good = word_pattern(kSegSize, 1, 1);
    send_all(link, update_bytes(1, good));

    const std::span<std::byte> ro = attach_area(kMasterRoKey);
    ASSERT_EQ(ro.size(), 3 * kSegSize);
    EXPECT_TRUE(wait_until([&] { return segment_holds(ro, 1, good); }));
    EXPECT_TRUE(segment_holds(ro, 0, zeros()));
    EXPECT_TRUE(segment_holds(ro, 2, zeros()));
    const std::string out = master.out();
    EXPECT_TRUE(contains(out, "Master got dest_who of 3\nMaster 1 dropped update for remote id 3: no such segment\n"))
        << out;
    EXPECT_TRUE(
        contains(out, "Master got dest_who of -1\nMaster 1 dropped update for remote id -1: no such segment\n"));
}

TEST(MasterReceiver, APeerClosingMidMessageEndsOnlyItsReceiver) {
    write_file(kList, "Clientname=127.0.0.1 Instances=3\n");
    Running master({program("gorv_master"), "-g", kList});
    std::vector<pid_t> spawner;
    ASSERT_TRUE(wait_until([&] { return (spawner = children_of(master.pid())).size() == 1; }));
    ASSERT_TRUE(wait_until([&] { return children_of(spawner[0]).size() == 3; }));

    const Fd to_row0 = connect_receiver(0);
    const Fd to_row2 = connect_receiver(2);
    ASSERT_TRUE(to_row0.valid() && to_row2.valid());
    {
        const Fd to_row1 = connect_receiver(1);
        ASSERT_TRUE(to_row1.valid());
        const Bytes message = update_bytes(1, std::vector<std::uint32_t>(kSegSize / 4, 9));
        send_all(to_row1, std::span(message).first(100));
    }
    EXPECT_TRUE(wait_until([&] { return children_of(spawner[0]).size() == 2; }));

    const std::span<std::byte> ro = attach_area(kMasterRoKey);
    ASSERT_EQ(ro.size(), 3 * kSegSize);
    const auto a = word_pattern(kSegSize, 10, 1);
    const auto b = word_pattern(kSegSize, 20, 2);
    send_all(to_row0, update_bytes(0, a));
    send_all(to_row2, update_bytes(2, b));
    EXPECT_TRUE(wait_until([&] { return segment_holds(ro, 0, a) && segment_holds(ro, 2, b); }));
    EXPECT_TRUE(segment_holds(ro, 1, zeros()));
    EXPECT_TRUE(contains(master.out(), "Master: Got 100 bytes (async) \nMaster 1 In async recieve \n"));
}

}  // namespace
}  // namespace gorv::test
