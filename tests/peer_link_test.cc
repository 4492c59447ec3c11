// The link routines on loopback, each case in namespaces of its own. Ends
// that never return or that end their process run in a forked child.
#include "common/peer_link.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <sstream>
#include <thread>

#include "common/update_message.h"
#include "tests/harness/test_peer.h"

namespace gorv::test {
namespace {

// The master's texts, with pauses short enough for a test.
LinkParams quick(int id = 0, bool ipv6 = false) {
    LinkParams link = kMasterLinkParams;
    link.connect_attempts = 3;
    link.pause_ms = 20;
    link.id = id;
    link.ipv6 = ipv6;
    return link;
}

// A function run in a child process with its output going to files.
class Child {
  public:
    explicit Child(const std::function<void()>& body) {
        static int started = 0;
        const std::string stem = "/tmp/child_" + std::to_string(++started);
        out_path_ = stem + ".out";
        err_path_ = stem + ".err";
        std::fflush(stdout);
        std::fflush(stderr);
        pid_ = fork();
        if (pid_ < 0) throw std::runtime_error("fork");
        if (pid_ == 0) {
            std::freopen(out_path_.c_str(), "w", stdout);
            std::freopen(err_path_.c_str(), "w", stderr);
            std::setvbuf(stderr, nullptr, _IONBF, 0);  // as in a daemon started normally
            body();
            std::fflush(stdout);
            _exit(0);
        }
    }
    ~Child() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    std::optional<int> wait_exit(Millis limit) {
        int status = 0;
        if (!wait_until([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, limit)) return std::nullopt;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string out() const { return read_file(out_path_); }
    std::string err() const { return read_file(err_path_); }

  private:
    pid_t pid_ = -1;
    std::string out_path_;
    std::string err_path_;
};

size_t count_of(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

int bytes_reported(const std::string& out) {
    int total = 0;
    for (size_t at = out.find("Master: Got "); at != std::string::npos; at = out.find("Master: Got ", at + 1))
        total += std::atoi(out.c_str() + at + 12);
    return total;
}

// Receives messages of `length` bytes and keeps each in /tmp/message_N.
void receive_into_files(const LinkParams& link, size_t length, int count) {
    const int listening = open_listen_endpoint(link);
    const int peer = accept_peer(link, listening);
    std::vector<std::byte> message(length);
    for (int n = 1; n <= count; ++n) {
        receive_message(link, peer, message);
        write_file("/tmp/message_" + std::to_string(n),
                   std::string(reinterpret_cast<const char*>(message.data()), message.size()));
    }
}

std::string as_text(const Bytes& bytes) { return {bytes.begin(), bytes.end()}; }

TEST(ListeningEnd, ProbesUpwardAndTakesWholeMessagesInPiecesOrBackToBack) {
    const Fd taken = listen_on(22000);
    Child receiver([] { receive_into_files(quick(), 4100, 2); });

    const Fd link = connect_within(22001, 5s);
    ASSERT_TRUE(link.valid());
    const Bytes first = update_bytes(0, word_pattern(4096, 1, 3));
    const Bytes second = update_bytes(1, word_pattern(4096, 0x10000, 7));
    send_all(link, std::span(first).first(1000));
    std::this_thread::sleep_for(30ms);
    send_all(link, std::span(first).subspan(1000, 3000));
    std::this_thread::sleep_for(30ms);
    Bytes rest(first.begin() + 4000, first.end());
    rest.insert(rest.end(), second.begin(), second.end());
    send_all(link, rest);

    EXPECT_EQ(receiver.wait_exit(5s), 0);
    EXPECT_EQ(read_file("/tmp/message_1"), as_text(first));
    EXPECT_EQ(read_file("/tmp/message_2"), as_text(second));
    const std::string out = receiver.out();
    EXPECT_TRUE(
        out.starts_with("Master's child: Async Listen: Bound at port 22001\n"
                        "Master 0 attach async\n"
                        "Master 0 enters listen\n"
                        "Master 0 enters accept\n"
                        "Master 0 attached for receive. Sock "))
        << out;
    EXPECT_EQ(bytes_reported(out), 8200);
    EXPECT_EQ(count_of(out, "Master 0 In async recieve \n"), count_of(out, "Master: Got "));
}

TEST(ListeningEnd, PeerClosingMidMessageEndsWithZeroAndReadErrorsWith21) {
    Child receiver([] { receive_into_files(quick(4), 4100, 1); });
    {
        const Fd link = connect_within(22004, 5s);
        ASSERT_TRUE(link.valid());
        send_all(link, Bytes(100, 7));
    }
    EXPECT_EQ(receiver.wait_exit(5s), 0);
    EXPECT_TRUE(
        receiver.out().ends_with("Master 4 In async recieve \n"
                                 "Master: Got 100 bytes (async) \n"
                                 "Master 4 In async recieve \n"));
    EXPECT_FALSE(file_exists("/tmp/message_1"));

    // A failed accept hands on a descriptor whose first read fails.
    Child failed_accept([] {
        const LinkParams link = quick(2);
        std::vector<std::byte> message(4100);
        receive_message(link, accept_peer(link, -1), message);
    });
    EXPECT_EQ(failed_accept.wait_exit(5s), 21);
    EXPECT_EQ(failed_accept.out(),
              "Master 2 attach async\n"
              "Master 2 enters listen\n"
              "Master 2 enters accept\n"
              "Master 2 attached for receive. Sock -1  9\n"
              "Master 2 In async recieve \n"
              "Master failed. Errno 9 \n");
}

TEST(ListeningEnd, PortsEndAt65535) {
    const Fd top = listen_on(65535);
    const Fd below = listen_on(65534);
    Child probing([] {
        LinkParams link = quick();
        link.listen_base = 65534;
        open_listen_endpoint(link);
    });
    EXPECT_EQ(probing.wait_exit(5s), 19);
    EXPECT_EQ(probing.err(), "Master's child: no free port up to 65535 to listen on: Address already in use\n");
    EXPECT_EQ(probing.out(), "");

    Child past_the_end([] {
        LinkParams link = quick(1);
        link.listen_base = 65535;
        open_listen_endpoint(link);
    });
    EXPECT_EQ(past_the_end.wait_exit(5s), 19);
}

TEST(ConnectingEnd, RetriesThenStartsOverWithANewSocketUntilThePeerListens) {
    const Fd taken = listen_on(24000);
    Child sender([] {
        const LinkParams link = quick();
        PeerAddress address;
        const int socket = open_send_link(link, 28000, resolve_host(link, "127.0.0.1", address));
        if (write(socket, "x", 1) != 1) std::exit(3);
    });
    const std::string failed = "Master: async connect failed\n: Connection refused\n";
    ASSERT_TRUE(wait_until([&] { return count_of(sender.err(), failed) >= 2; }));

    const Fd listener = listen_on(28000);
    std::uint16_t peer_port = 0;
    const Fd link = accept_within(listener, 5s, &peer_port);
    ASSERT_TRUE(link.valid());
    EXPECT_EQ(peer_port, 24001);
    EXPECT_EQ(read_within(link, 1, 5s), Bytes{'x'});
    EXPECT_EQ(sender.wait_exit(5s), 0);

    const std::string out = sender.out();
    const std::string cycle =
        "Master: Bound async send port 24001\n"
        "Master: calling connect..\n"
        "Master: calling connect..\n"
        "Master: calling connect..\n";
    EXPECT_TRUE(out.starts_with(cycle + cycle)) << out;
    EXPECT_TRUE(out.ends_with("Master: calling connect..\nMaster async send Connected\n")) << out;
    EXPECT_EQ(sender.err().find_first_not_of(failed), std::string::npos);
}

TEST(ConnectingEnd, LocalPortsEndAt65535) {
    const Fd taken = listen_on(65535);
    Child sender([] {
        LinkParams link = quick();
        link.first_local_port = 65535;
        open_send_link(link, 28000, PeerAddress{});
    });
    EXPECT_EQ(sender.wait_exit(5s), 23);
    EXPECT_EQ(sender.err(), "Master: no free local port up to 65535 to connect from: Address already in use\n");
}

TEST(ResolveHost, WritesTheAddressOfTheSelectedFamily) {
    PeerAddress address;
    address.bytes.fill(0xaa);
    resolve_host(quick(), "127.0.0.1", address);
    EXPECT_EQ(address.bytes, (std::array<std::uint8_t, 16>{127, 0, 0, 1, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa,
                                                           0xaa, 0xaa, 0xaa, 0xaa}));
    resolve_host(quick(0, true), "::1", address);
    EXPECT_EQ(address.bytes, (std::array<std::uint8_t, 16>{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}));
}

TEST(ResolveHost, AFailedLookUpIsReportedAndRepeated) {
    // In IPv6 mode a host with only an IPv4 address is not found.
    Child looking([] {
        PeerAddress address;
        resolve_host(quick(0, true), "127.0.0.1", address);
        std::puts("found");
    });
    const std::string line = "127.0.0.1 could not be located by getaddrinfo\n";
    EXPECT_TRUE(wait_until([&] { return count_of(looking.err(), line) >= 3; }));
    EXPECT_EQ(looking.err().find_first_not_of(line), std::string::npos);
    EXPECT_EQ(looking.out(), "");
}

TEST(Link, CarriesAnUpdateOverIPv6) {
    try {
        listen_on(22100, true);
    } catch (const std::exception& no_ipv6) {
        GTEST_SKIP() << no_ipv6.what();
    }
    Child receiver([] { receive_into_files(quick(3, true), 12, 1); });

    LinkParams link = quick(0, true);
    link.log_level = 0;
    PeerAddress address;
    resolve_host(link, "::1", address);
    const int socket = open_send_link(link, 22003, address);
    const std::vector<std::uint32_t> words{0x01020304, 0xcafef00d};
    std::vector<std::byte> segment(8);
    std::memcpy(segment.data(), words.data(), 8);
    std::vector<std::byte> message(12);
    send_update(socket, "::1", segment, 3, message, UpdateTexts{0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0});
    close(socket);

    EXPECT_EQ(receiver.wait_exit(5s), 0);
    EXPECT_EQ(read_file("/tmp/message_1"), as_text(update_bytes(3, words)));
    EXPECT_TRUE(receiver.out().starts_with("Master's child: Async Listen: Bound at port 22003\n"));
}

// Descriptors of this process that a program it starts inherits: those
// without close-on-exec (what the test itself was started with).
std::set<int> inheritable_descriptors() {
    std::set<int> inheritable;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const int fd = std::stoi(entry.path().filename());
        const int flags = fcntl(fd, F_GETFD);
        if (flags >= 0 && (flags & FD_CLOEXEC) == 0) inheritable.insert(fd);
    }
    return inheritable;
}

std::set<int> numbers_in(const std::string& lines) {
    std::set<int> numbers;
    std::istringstream words(lines);
    for (int number = 0; words >> number;) numbers.insert(number);
    return numbers;
}

// A program started by the harness holds only what the test was started
// with: none of the test's sockets, nor another program's pipes or files.
TEST(Harness, ProgramsStartedInheritNoDescriptorOfTheTest) {
    const std::set<int> before = inheritable_descriptors();
    const Fd listener = listen_on(22100);
    const Fd client = connect_within(22100, 1s);
    const Fd server = accept_within(listener, 1s);
    const std::vector<std::string> list_own = {"/bin/sh", "-c", "ls /proc/$$/fd; true"};
    Running running(list_own);
    ASSERT_EQ(running.wait_exit(5s), 0);
    EXPECT_EQ(numbers_in(running.out()), before);
    EXPECT_EQ(numbers_in(run(list_own).out), before);
}

}  // namespace
}  // namespace gorv::test
