// Service mode that lets no one in: keyed links (-K), refused key files,
// wrong keys, keyless peers, a captured link played again, a byte changed
// in flight, a remote that writes a row not its own, a dead name server
// with strangers knocking, and a stray that reconnects without end.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <thread>

#include "common/constants.h"
#include "common/link_key.h"
#include "common/service_link.h"
#include "tests/harness/process_harness.h"
#include "tests/harness/test_hosts.h"
#include "tests/harness/test_peer.h"

namespace gorv::test {
namespace {

const std::string kList = "/tmp/clients";
const std::string kKey = "/tmp/link.key";
const std::string kOtherKey = "/tmp/other.key";

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

size_t count_of(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

void write_key(const std::string& path, const std::string& text, mode_t mode = 0600) {
    write_file(path, text);
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

std::vector<std::string> master_k(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> argv{program("gorv_master"), "-k", "-g", kList};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return argv;
}

std::vector<std::string> remote_k(int id, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> argv{program("gorv_remote"), "-k", "-H", "localhost", "-n", std::to_string(id)};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return argv;
}

std::uint32_t word_at(std::span<const std::byte> segment, size_t word) {
    std::uint32_t value;
    std::memcpy(&value, segment.data() + word * 4, 4);
    return value;
}

void put(std::span<std::byte> segment, size_t word, std::uint32_t value) {
    std::memcpy(segment.data() + word * 4, &value, 4);
}

// The test as a keyed master's sender toward remote `id`: every byte it
// sends is kept, so that the link can be played again.
struct KeyedSender {
    LinkKey key;
    Fd link;
    LinkSession session;
    Bytes sent;

    bool connect(int id) {
        link = connect_within(static_cast<std::uint16_t>(kRemoteListenBase + id), 5s);
        Bytes hello(kKeyedHelloSize);
        Greeting own = make_greeting(LinkRole::kMaster, id, 4096);
        own.version = kKeyedGreetingVersion;
        const GreetingBytes greeting = encode_greeting(own);
        std::copy(greeting.begin(), greeting.end(), hello.begin());
        Nonce nonce;
        fresh_nonce(nonce);
        std::copy(nonce.begin(), nonce.end(), hello.begin() + kGreetingSize);
        send(hello);
        const auto answer = read_within(link, kKeyedAnswerSize, 5s);
        if (!answer) return false;
        const Transcript transcript = transcript_of(std::span(hello).first<kKeyedHelloSize>(),
                                                    std::span(*answer).first<kKeyedHelloSize>());
        send(proof_of(key, LinkEnd::kConnecting, transcript));
        session = start_session(key, transcript);
        return true;
    }
    void send(std::span<const std::uint8_t> bytes) {
        send_all(link, bytes);
        sent.insert(sent.end(), bytes.begin(), bytes.end());
    }
    // An update and its tag; flip changes one of its bytes after tagging.
    void update(std::int32_t dest_who, std::uint32_t first, int flip = -1) {
        Bytes message = update_bytes(dest_who, word_pattern(4096, first, 1));
        const Tag tag = tag_next(session, std::as_bytes(std::span(message)));
        if (flip >= 0) message[static_cast<size_t>(flip)] ^= 0x01;
        send(message);
        send(tag);
    }
};

TEST(KeyedLinks, AKeyFileThatIsNotRightEndsTheDaemonBeforeAnyArea) {
    write_file(kList, "Clientname=localhost\n");
    write_key(kKey, std::string(64, 'a') + "\n");
    write_key("/tmp/open.key", std::string(64, 'a'), 0640);
    write_key("/tmp/short.key", "abcd\n");
    write_key("/tmp/nothex.key", std::string(63, 'a') + "g");
    struct Case {
        std::vector<std::string> argv;
        std::string line;
    };
    const Case cases[] = {
        {master_k({"-K", "/tmp/open.key"}),
         "Master: link key file /tmp/open.key refused: readable or writable by group or others\n"},
        {master_k({"-K", "/tmp/short.key"}),
         "Master: link key file /tmp/short.key refused: not 64 hexadecimal digits\n"},
        {master_k({"-K", "/tmp/nothex.key"}),
         "Master: link key file /tmp/nothex.key refused: not 64 hexadecimal digits\n"},
        {master_k({"-K", "/tmp/none.key"}), "Master: link key file /tmp/none.key refused: No such file or directory\n"},
        {{program("gorv_master"), "-g", kList, "-K", kKey},
         "Master: -K needs -k: a link key is for service mode only\n"},
        {remote_k(0, {"-K", "/tmp/open.key"}),
         "Remote: link key file /tmp/open.key refused: readable or writable by group or others\n"},
        {{program("gorv_remote"), "-H", "localhost", "-n", "0", "-K", kKey},
         "Remote: -K needs -k: a link key is for service mode only\n"},
    };
    for (const Case& c : cases) {
        const Finished finished = run(c.argv);
        EXPECT_EQ(finished.exit_status, 1) << c.line;
        EXPECT_EQ(finished.out, c.line);
        EXPECT_EQ(finished.err, "");
    }
    EXPECT_FALSE(area_info(kMasterMoKey).has_value());
    EXPECT_FALSE(area_info(kRemoteMoKeyBase).has_value());
}

TEST(KeyedLinks, KeyedDaemonsAreInStepAndAnotherKeyOrNoKeyIsRefusedWithNothingStored) {
    write_file(kList, "Clientname=localhost Instances=2\n");
    write_key(kKey, std::string(64, '7') + "\n");
    write_key(kOtherKey, std::string(64, '8'));
    Running master(master_k({"-K", kKey}));
    Running remote0(remote_k(0, {"-K", kKey}));
    Running remote1(remote_k(1, {"-K", kOtherKey}));
    ASSERT_TRUE(wait_until([] {
        return area_info(kMasterRoKey) && area_info(kRemoteRoKeyBase) && area_info(kRemoteRoKeyBase + 2);
    }));
    const std::span<std::byte> master_mo = attach_area(kMasterMoKey);
    const std::span<std::byte> master_ro = attach_area(kMasterRoKey);
    const std::span<std::byte> remote0_mo = attach_area(kRemoteMoKeyBase);
    const std::span<std::byte> remote0_ro = attach_area(kRemoteRoKeyBase);
    const std::span<std::byte> remote1_ro = attach_area(kRemoteRoKeyBase + 2);
    put(master_mo, 5, 501);
    put(remote0_ro, 6, 601);
    put(remote1_ro, 7, 701);
    EXPECT_TRUE(wait_until([&] { return word_at(remote0_mo, 5) == 501 && word_at(master_ro, 6) == 601; }));
    EXPECT_TRUE(wait_until([&] {
        return contains(master.out(),
                        "Master row 1 from_remote: refused (proof does not match: another key, or a link played "
                        "again)\n") &&
               contains(master.out(), "Master row 1 to_remote: not linked (proof does not match: another key)\n");
    })) << master.out();
    EXPECT_TRUE(contains(remote1.out(), "Remote 1 to_master: not linked (proof does not match: another key)\n"))
        << remote1.out();
    EXPECT_TRUE(contains(remote1.out(),
                         "Remote 1 from_master: refused (proof does not match: another key, or a link played again)"));
    remote1.kill_group();
    Running keyless(remote_k(1));
    EXPECT_TRUE(wait_until([&] {
        return contains(master.out(),
                        "Master row 1 from_remote: refused (a peer without a link key, this end has one)\n") &&
               contains(keyless.out(), "Remote 1 from_master: refused (a peer with a link key, this end has none)\n");
    })) << master.out() << keyless.out();
    std::this_thread::sleep_for(2500ms);  // refused again every second, said once
    EXPECT_EQ(count_of(master.out(), "a peer without a link key"), 1u) << master.out();
    EXPECT_EQ(word_at(master_ro.subspan(4096), 7), 0u) << "nothing of row 1 stored";
    EXPECT_TRUE(contains(read_file(kMasterLinksPath), "row=1 host=localhost to_remote=down from_remote=down"));
    EXPECT_TRUE(contains(read_file(kMasterLinksPath), "row=0 host=localhost to_remote=up from_remote=up"));
    EXPECT_EQ(master.err(), "");
    EXPECT_EQ(keyless.err(), "Remote: service-mode links are not authenticated: no link key (-K)\n");
}

TEST(KeyedLinks, ACapturedLinkPlayedAgainOrAByteChangedInFlightStoresNothingAndTheLinkHeals) {
    write_key(kKey, std::string(32, 'c') + std::string(32, '3'));
    Running remote(remote_k(0, {"-K", kKey}));
    ASSERT_TRUE(wait_until([] { return area_info(kRemoteMoKeyBase).has_value(); }));
    const std::span<std::byte> mo = attach_area(kRemoteMoKeyBase);
    KeyedSender sender;
    ASSERT_EQ(load_link_key(kKey.c_str(), sender.key), nullptr);
    ASSERT_TRUE(sender.connect(0));
    sender.update(0, 100);
    EXPECT_TRUE(wait_until([&] { return word_at(mo, 0) == 100; }));
    const Bytes capture = sender.sent;
    sender.link.close();
    std::memset(mo.data(), 0, mo.size());

    const Fd replay = connect_within(kRemoteListenBase, 5s);
    send_all(replay, std::span(capture).first(kKeyedHelloSize));
    ASSERT_TRUE(read_within(replay, kKeyedAnswerSize, 5s));
    send_all(replay, std::span(capture).subspan(kKeyedHelloSize));
    EXPECT_TRUE(wait_until([&] {
        return contains(remote.out(),
                        "Remote 0 from_master: refused (proof does not match: another key, or a link played again)\n");
    })) << remote.out();

    sender.sent.clear();
    ASSERT_TRUE(sender.connect(0));
    sender.update(0, 200);
    EXPECT_TRUE(wait_until([&] { return word_at(mo, 0) == 200; }));
    sender.update(0, 300, 9);  // a byte of the second message changed after its tag
    EXPECT_TRUE(wait_until([&] {
        return contains(remote.out(),
                        "Remote 0 from_master: down (update 1: tag does not match (altered, replayed or out of "
                        "order))\n");
    })) << remote.out();
    EXPECT_EQ(word_at(mo, 0), 200u) << "the row stays as it was";
    ASSERT_TRUE(sender.connect(0));
    sender.update(0, 400);
    EXPECT_TRUE(wait_until([&] { return word_at(mo, 0) == 400; }));
    EXPECT_EQ(count_of(remote.out(), "Remote 0 from_master: relinked\n"), 2u) << remote.out();
}

// A relay on the test's own address of the hosts' network: each connection
// to relay:port is carried to the target host's same port, byte for byte,
// but for the one byte at `flip_at` of a connection's stream toward the
// target, which it changes once.
class Relay {
  public:
    Relay(std::uint16_t port, const std::string& target) : listener_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        const int on = 1;
        setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in at = address(kRelayAddress, port);
        if (bind(listener_.get(), reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || listen(listener_.get(), 4) != 0)
            throw std::runtime_error("relay cannot listen");
        thread_ = std::thread([this, port, target] { carry(port, target); });
    }
    ~Relay() {
        stop_ = true;
        thread_.join();
    }
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

    static constexpr char kRelayAddress[] = "10.77.0.254";
    std::atomic<long> flip_at{-1};
    std::atomic<long> carried{0};  // toward the target, on the connection carried now

  private:
    static sockaddr_in address(const std::string& ip, std::uint16_t port) {
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(port);
        inet_pton(AF_INET, ip.c_str(), &at.sin_addr);
        return at;
    }
    // One connection at a time, carried until either end closes it.
    void carry(std::uint16_t port, const std::string& target) {
        while (!stop_) {
            pollfd listening{listener_.get(), POLLIN, 0};
            if (poll(&listening, 1, 100) <= 0) continue;
            const Fd from(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            const Fd to(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            sockaddr_in at = address(target, port);
            if (connect(to.get(), reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) continue;
            carried = 0;
            for (bool open = true; open && !stop_;) {
                pollfd ends[2] = {{from.get(), POLLIN, 0}, {to.get(), POLLIN, 0}};
                if (poll(ends, 2, 100) <= 0) continue;
                for (int side = 0; side < 2 && open; ++side) {
                    if (ends[side].revents == 0) continue;
                    std::uint8_t bytes[65536];
                    const ssize_t n = read(ends[side].fd, bytes, sizeof bytes);
                    if (n <= 0) {
                        open = false;
                        break;
                    }
                    const long flip = flip_at.load();
                    if (side == 0 && flip >= carried && flip < carried + n) {
                        bytes[flip - carried.load()] ^= 0x01;
                        flip_at = -1;
                    }
                    if (side == 0) carried += n;
                    send_all(side == 0 ? to : from, std::span(bytes, static_cast<size_t>(n)));
                }
            }
        }
    }

    Fd listener_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Both daemons keyed, on two hosts, every link through the relay: in step;
// a byte changed in flight ends the remote's link to the master, nothing of
// that message is stored, and the link heals with the newest contents.
TEST(KeyedLinks, TwoHostsInStepThroughARelayThatChangesAByteOnce) {
    const TestHosts hosts({"central", "gen1"});
    write_file("/tmp/test_hosts", read_file("/tmp/test_hosts") + std::string(Relay::kRelayAddress) + " relay\n");
    ASSERT_EQ(run({"/bin/sh", "-ec", "ip addr add 10.77.0.254/24 dev hosts"}).exit_status, 0);
    write_key(kKey, std::string(64, 'e'));
    write_file(kList, "Clientname=relay\n");
    Relay to_master(kMasterListenBase, "10.77.0.1");
    Relay to_remote(kRemoteListenBase, "10.77.0.2");
    Running master(hosts.on("central", master_k({"-K", kKey})));
    Running remote(hosts.on("gen1", {program("gorv_remote"), "-k", "-K", kKey, "-H", "relay", "-n", "0"}));
    ASSERT_TRUE(wait_until([] { return area_info(kMasterRoKey) && area_info(kRemoteRoKeyBase); }));
    const std::span<std::byte> master_mo = attach_area(kMasterMoKey);
    const std::span<std::byte> master_ro = attach_area(kMasterRoKey);
    const std::span<std::byte> remote_mo = attach_area(kRemoteMoKeyBase);
    const std::span<std::byte> remote_ro = attach_area(kRemoteRoKeyBase);
    put(master_mo, 1, 11);
    put(remote_ro, 2, 21);
    ASSERT_TRUE(wait_until([&] { return word_at(remote_mo, 1) == 11 && word_at(master_ro, 2) == 21; }, 8s))
        << master.out() << remote.out();
    // Nothing moves while the rows are in step: a byte of the next message.
    to_master.flip_at = to_master.carried + 100;
    put(remote_ro, 3, 31);
    EXPECT_TRUE(wait_until([&] {
        return contains(master.out(), "Master row 0 from_remote: down (update ") &&
               contains(master.out(), ": tag does not match (altered, replayed or out of order))\n");
    })) << master.out();
    EXPECT_EQ(word_at(master_ro, 3), 0u) << "nothing of that message stored";
    EXPECT_TRUE(wait_until([&] { return word_at(master_ro, 3) == 31; }, 3s)) << "healed";
    EXPECT_TRUE(contains(master.out(), "Master row 0 from_remote: relinked\n")) << master.out();
    EXPECT_EQ(to_master.flip_at.load(), -1);
}

// A remote greeted for row 1 that writes row 0 is dropped; its link stays.
TEST(RowsOwnRemote, AnUpdateForAnotherRowIsDroppedAndTheLinkKept) {
    write_file(kList, "Clientname=localhost Instances=2\n");
    Running master(master_k());
    ASSERT_TRUE(wait_until([] { return area_info(kMasterRoKey).has_value(); }));
    const std::span<std::byte> ro = attach_area(kMasterRoKey);
    const Fd link = connect_within(kMasterListenBase + 1, 5s);
    send_all(link, encode_greeting(make_greeting(LinkRole::kRemote, 1, 4096)));
    ASSERT_TRUE(read_within(link, kGreetingSize, 5s));
    send_all(link, update_bytes(0, word_pattern(4096, 11, 1)));
    send_all(link, update_bytes(0, word_pattern(4096, 12, 1)));
    send_all(link, update_bytes(1, word_pattern(4096, 13, 1)));
    EXPECT_TRUE(wait_until([&] { return word_at(ro.subspan(4096), 0) == 13; }));
    EXPECT_EQ(word_at(ro, 0), 0u);
    const std::string out = master.out();
    EXPECT_EQ(count_of(out, "Master row 1 from_remote: dropped an update for row 0 (a row takes updates from its own "
                            "remote only)\n"),
              1u)
        << out;
    EXPECT_FALSE(contains(out, "Master row 1 from_remote: down")) << out;
    EXPECT_EQ(master.err(), "Master: service-mode links are not authenticated: no link key (-K)\n");
}

// Rows 0 and 1 and their remotes on localhost, row 2 on a host that only a
// name server knows, whose name server never answers.
struct RowsBesideADeadNameServer {
    Fd name_server;
    std::unique_ptr<Running> master;
    std::vector<std::unique_ptr<Running>> remotes;
    std::span<std::byte> master_mo, master_ro, remote_mo[2], remote_ro[2];

    RowsBesideADeadNameServer() {
        name_server = Fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(53);
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(name_server.get(), reinterpret_cast<sockaddr*>(&at), sizeof at) != 0)
            throw std::runtime_error("no name server port");
        write_file("/tmp/resolv.conf", "nameserver 127.0.0.1\noptions timeout:3 attempts:2\n");
        if (run({"/bin/sh", "-ec", "mount --bind /tmp/resolv.conf /etc/resolv.conf"}).exit_status != 0)
            throw std::runtime_error("resolv.conf not mounted");
        write_file(kList, "Clientname=localhost Instances=2\nClientname=ghost.gorv.test\n");
        master = std::make_unique<Running>(master_k());
        for (int id = 0; id < 2; ++id) remotes.push_back(std::make_unique<Running>(remote_k(id)));
        if (!wait_until([] { return area_info(kMasterRoKey) && area_info(kRemoteRoKeyBase) && area_info(kRemoteRoKeyBase + 2); }))
            throw std::runtime_error("areas not made");
        master_mo = attach_area(kMasterMoKey);
        master_ro = attach_area(kMasterRoKey);
        for (int id = 0; id < 2; ++id) {
            remote_mo[id] = attach_area(kRemoteMoKeyBase + 2 * id);
            remote_ro[id] = attach_area(kRemoteRoKeyBase + 2 * id);
        }
    }
    // A new value each way on both rows, there within `limit`.
    bool changes_arrive(std::uint32_t value, Millis limit) {
        for (int row = 0; row < 2; ++row) {
            put(master_mo.subspan(static_cast<size_t>(row) * 4096), 1, value);
            put(remote_ro[row], 2, value);
        }
        return wait_until(
            [&] {
                for (int row = 0; row < 2; ++row)
                    if (word_at(remote_mo[row], 1) != value ||
                        word_at(master_ro.subspan(static_cast<size_t>(row) * 4096), 2) != value)
                        return false;
                return true;
            },
            limit);
    }
};

Fd connect_from(const char* source, std::uint16_t port) {
    Fd link(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, source, &local.sin_addr);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(link.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        connect(link.get(), reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0)
        return Fd();
    return link;
}

TEST(LookUpsBesideTheLoops, ADeadNameServerAndAStrangerKnockingHoldUpNoKnownRow) {
    RowsBesideADeadNameServer system;
    ASSERT_TRUE(system.changes_arrive(1, 8s));
    std::atomic<bool> stop{false};
    std::thread stranger([&] {
        while (!stop) {
            const Fd knock = connect_from("127.0.0.2", kMasterListenBase);
            std::this_thread::sleep_for(20ms);
        }
    });
    bool in_step = true;
    for (std::uint32_t value = 2; value < 10; ++value) in_step = system.changes_arrive(value, 2s) && in_step;
    system.remotes[0]->kill_group();
    system.remotes[0] = std::make_unique<Running>(remote_k(0));
    const bool relinked = system.changes_arrive(10, 3s);
    stop = true;
    stranger.join();
    EXPECT_TRUE(in_step);
    EXPECT_TRUE(relinked);
    const std::string out = system.master->out();
    EXPECT_EQ(count_of(out, "Master row 0 from_remote: refused (127.0.0.2 is not an address of localhost)\n"), 1u)
        << out;
    EXPECT_TRUE(contains(out, "Master row 0 from_remote: relinked\n")) << out;
    EXPECT_TRUE(wait_until(
        [&] {
            return contains(system.master->out(),
                            "Master row 2 to_remote: not linked (ghost.gorv.test could not be located by "
                            "getaddrinfo)\n");
        },
        15s));
}

TEST(StraysCannotStarveARow, AStrayReconnectingWithoutEndLeavesARestartedRemoteLinked) {
    write_file(kList, "Clientname=localhost Instances=2\n");
    Running master(master_k());
    Running remote0(remote_k(0));
    auto remote1 = std::make_unique<Running>(remote_k(1));
    ASSERT_TRUE(wait_until([] { return area_info(kMasterRoKey) && area_info(kRemoteRoKeyBase + 2); }));
    const std::span<std::byte> master_ro = attach_area(kMasterRoKey).subspan(4096);
    const std::span<std::byte> remote_ro = attach_area(kRemoteRoKeyBase + 2);
    put(remote_ro, 3, 31);
    ASSERT_TRUE(wait_until([&] { return word_at(master_ro, 3) == 31; }, 8s));
    std::atomic<bool> stop{false};
    const auto stray = [&] {
        std::deque<Fd> open;
        while (!stop) {
            open.push_back(connect_from("127.0.0.1", kMasterListenBase + 1));
            if (open.size() > 16) open.pop_front();
        }
    };
    std::thread stray_thread(stray);
    remote1->kill_group();
    remote1 = std::make_unique<Running>(remote_k(1));
    put(remote_ro, 3, 32);
    const bool linked = wait_until([&] { return word_at(master_ro, 3) == 32; }, 2s);
    stop = true;
    stray_thread.join();
    EXPECT_TRUE(linked);
    EXPECT_TRUE(contains(master.out(), "Master row 1 from_remote: relinked\n")) << master.out();
}

}  // namespace
}  // namespace gorv::test
