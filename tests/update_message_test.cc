#include "common/update_message.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace gorv {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr UpdateTexts kQuiet{0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0};

std::vector<std::byte> segment_of_words(const std::vector<std::uint32_t>& words) {
    std::vector<std::byte> segment(words.size() * 4);
    std::memcpy(segment.data(), words.data(), segment.size());
    return segment;
}

Bytes bytes_of(std::span<const std::byte> bytes) {
    Bytes plain(bytes.size());
    std::memcpy(plain.data(), bytes.data(), bytes.size());
    return plain;
}

Bytes slice(const Bytes& bytes, size_t from, size_t count) {
    return {bytes.begin() + static_cast<std::ptrdiff_t>(from),
            bytes.begin() + static_cast<std::ptrdiff_t>(from + count)};
}

TEST(EncodeUpdate, DestWhoAndWordsGoOutBigEndian) {
    std::vector<std::uint32_t> words(1024, 0);
    words[0] = 0x01020304;
    words[1023] = 0xa1b2c3d4;
    const std::vector<std::byte> segment = segment_of_words(words);
    std::vector<std::byte> message(4100, std::byte{0xee});

    encode_update(segment, 3, message);
    const Bytes sent = bytes_of(message);
    EXPECT_EQ(slice(sent, 0, 4), (Bytes{0x00, 0x00, 0x00, 0x03}));
    EXPECT_EQ(slice(sent, 4, 4), (Bytes{0x01, 0x02, 0x03, 0x04}));
    EXPECT_EQ(slice(sent, 8, 4088), Bytes(4088, 0));
    EXPECT_EQ(slice(sent, 4096, 4), (Bytes{0xa1, 0xb2, 0xc3, 0xd4}));

    encode_update(segment, -2, message);
    EXPECT_EQ(slice(bytes_of(message), 0, 4), (Bytes{0xff, 0xff, 0xff, 0xfe}));
}

TEST(EncodeUpdate, SizeZeroAndRaggedSizes) {
    std::vector<std::byte> header(4, std::byte{0xee});
    encode_update({}, 258, header);
    EXPECT_EQ(bytes_of(header), (Bytes{0x00, 0x00, 0x01, 0x02}));

    // A size that is not a multiple of 4 ends in zero bytes.
    const std::vector<std::byte> segment{std::byte{1}, std::byte{2}, std::byte{3},
                                         std::byte{4}, std::byte{5}, std::byte{6}};
    std::vector<std::byte> message(10, std::byte{0xee});
    encode_update(segment, 1, message);
    std::uint32_t first;
    std::memcpy(&first, segment.data(), 4);
    const Bytes sent = bytes_of(message);
    EXPECT_EQ(slice(sent, 4, 4), (Bytes{static_cast<std::uint8_t>(first >> 24), static_cast<std::uint8_t>(first >> 16),
                                        static_cast<std::uint8_t>(first >> 8), static_cast<std::uint8_t>(first)}));
    EXPECT_EQ(slice(sent, 8, 2), (Bytes{0, 0}));
}

TEST(DecodeUpdate, PutsTheWordsBackInHostOrder) {
    Bytes wire{0x00, 0x00, 0x00, 0x07, 0x01, 0x02, 0x03, 0x04, 0xfe, 0xdc, 0xba, 0x98};
    std::vector<std::byte> message(wire.size());
    std::memcpy(message.data(), wire.data(), wire.size());
    std::vector<std::byte> segment(8);

    testing::internal::CaptureStdout();
    EXPECT_EQ(decode_update(message, segment, kMasterUpdateTexts), 7);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Master got dest_who of 7\n");
    std::uint32_t words[2];
    std::memcpy(words, segment.data(), sizeof words);
    EXPECT_EQ(words[0], 0x01020304u);
    EXPECT_EQ(words[1], 0xfedcba98u);

    wire[0] = 0xff;
    std::memcpy(message.data(), wire.data(), 4);
    EXPECT_LT(decode_update(message, segment, kQuiet), 0);
}

TEST(DecodeUpdate, EveryByteSurvivesTheRoundTrip) {
    std::vector<std::byte> segment(4096);
    for (size_t i = 0; i < segment.size(); ++i) segment[i] = static_cast<std::byte>(i * 37 + 11);
    std::vector<std::byte> message(4100);
    encode_update(segment, 254, message);
    std::vector<std::byte> copy(4096);
    EXPECT_EQ(decode_update(message, copy, kQuiet), 254);
    EXPECT_EQ(copy, segment);
}

// The swap loop handles its first words apart until its stores are aligned:
// every placement of the buffers within a cache line must give the same bytes.
TEST(DecodeUpdate, RoundTripsAtEveryAlignment) {
    constexpr size_t kWords = 301;
    std::vector<std::byte> source(kWords * 4 + 64);
    for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<std::byte>(i * 53 + 5);
    for (size_t shift = 0; shift < 64; shift += 4) {
        const std::span<const std::byte> segment(source.data() + shift, kWords * 4);
        std::vector<std::byte> message_block(kWords * 4 + 4 + 64);
        const std::span<std::byte> message(message_block.data() + shift, kWords * 4 + 4);
        encode_update(segment, 9, message);
        EXPECT_EQ(message[7], segment[0]) << shift;
        EXPECT_EQ(message[kWords * 4], segment[kWords * 4 - 1]) << shift;

        std::vector<std::byte> copy_block(kWords * 4 + 64);
        const std::span<std::byte> copy(copy_block.data() + 60 - shift, kWords * 4);
        EXPECT_EQ(decode_update(message, copy, kQuiet), 9);
        EXPECT_TRUE(std::equal(copy.begin(), copy.end(), segment.begin())) << shift;
    }
}

TEST(DetectChange, ComparesByValueAndLeavesTheShadowEqual) {
    std::vector<std::uint32_t> words(1024, 0x5a5a5a5a);
    std::vector<std::byte> segment = segment_of_words(words);
    std::vector<std::byte> shadow = segment;

    EXPECT_FALSE(detect_change(segment, shadow, kQuiet));
    EXPECT_EQ(shadow, segment);

    words[1023] = 1;
    segment = segment_of_words(words);
    EXPECT_TRUE(detect_change(segment, shadow, kQuiet));
    EXPECT_EQ(shadow, segment);
    EXPECT_FALSE(detect_change(segment, shadow, kQuiet));

    // Changed and changed back between two comparisons: no change.
    words[17] = 99;
    segment = segment_of_words(words);
    words[17] = 0x5a5a5a5a;
    segment = segment_of_words(words);
    EXPECT_FALSE(detect_change(segment, shadow, kQuiet));

    // The same value written again is no change either.
    std::memcpy(segment.data() + 400, &words[100], 4);
    EXPECT_FALSE(detect_change(segment, shadow, kQuiet));

    EXPECT_FALSE(detect_change({}, {}, kQuiet));
}

TEST(DetectChange, AFreshZeroShadowSeesAnyNonZeroWord) {
    std::vector<std::byte> segment(8192);
    std::vector<std::byte> shadow(8192);
    EXPECT_FALSE(detect_change(segment, shadow, kQuiet));
    segment[4097] = std::byte{1};
    EXPECT_TRUE(detect_change(segment, shadow, kQuiet));
    EXPECT_EQ(shadow[4097], std::byte{1});
}

// The remote's comparison lines are of level 2, above the remote's own level.
TEST(DetectChange, TheRemoteLogsItsComparisonsOnlyFromLevel2) {
    std::vector<std::byte> segment(16);
    std::vector<std::byte> shadow(16);
    testing::internal::CaptureStdout();
    detect_change(segment, shadow, kRemoteUpdateTexts);
    segment[0] = std::byte{1};
    detect_change(segment, shadow, kRemoteUpdateTexts);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    UpdateTexts verbose = kRemoteUpdateTexts;
    verbose.log_level = 2;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(detect_change(segment, shadow, verbose));
    segment[15] = std::byte{1};
    EXPECT_TRUE(detect_change(segment, shadow, verbose));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Sync time for remote segments \n"
              "Sync time for remote segments \n"
              "Sync needed.\n");
    testing::internal::CaptureStdout();
    detect_change(segment, shadow, kMasterUpdateTexts);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

class SendUpdate : public testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends_), 0); }
    void TearDown() override {
        close(ends_[0]);
        close(ends_[1]);
    }
    Bytes read_all(size_t n) const {
        Bytes got(n);
        size_t have = 0;
        while (have < n) {
            const ssize_t count = read(ends_[1], got.data() + have, std::min<size_t>(n - have, 1500));
            if (count <= 0) break;
            have += static_cast<size_t>(count);
        }
        got.resize(have);
        return got;
    }
    int ends_[2] = {-1, -1};
};

TEST_F(SendUpdate, TheRemoteNamesItselfAndTheMasterAndDecodesSilently) {
    const std::vector<std::byte> segment = segment_of_words({0x01020304, 5});
    std::vector<std::byte> message(12);
    UpdateTexts texts = kRemoteUpdateTexts;
    texts.own_id = 3;
    testing::internal::CaptureStdout();
    send_update(ends_[0], "master1", segment, 3, message, texts);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Remote[3] sending update to master \"master1\" \n");
    EXPECT_EQ(read_all(12), (Bytes{0, 0, 0, 3, 1, 2, 3, 4, 0, 0, 0, 5}));

    texts.log_level = 2;
    testing::internal::CaptureStdout();
    send_update(ends_[0], "master1", segment, 7, message, texts);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Child sending to 7\n"
              "Remote[3] sending update to master \"master1\" \n");
    EXPECT_EQ(read_all(12), (Bytes{0, 0, 0, 7, 1, 2, 3, 4, 0, 0, 0, 5}));

    std::vector<std::byte> decoded(8);
    testing::internal::CaptureStdout();
    EXPECT_EQ(decode_update(message, decoded, texts), 7);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(decoded, segment);
}

TEST_F(SendUpdate, WritesTheWholeMessageAndLogsIt) {
    std::vector<std::uint32_t> words(1024);
    for (size_t k = 0; k < words.size(); ++k) words[k] = static_cast<std::uint32_t>(k % 256) * 0x01010101u;
    const std::vector<std::byte> segment = segment_of_words(words);
    std::vector<std::byte> message(4100, std::byte{0xee});

    testing::internal::CaptureStdout();
    send_update(ends_[0], "gen1", segment, 2, message, kMasterUpdateTexts);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Neutral size = 4100\n"
              "Master sending update message to remote \"gen1\" size 4100 ID: 2\n");

    const Bytes sent = read_all(4100);
    ASSERT_EQ(sent.size(), 4100u);
    EXPECT_EQ(slice(sent, 0, 4), (Bytes{0, 0, 0, 2}));
    for (size_t k = 0; k < words.size(); ++k) {
        const auto byte = static_cast<std::uint8_t>(k);
        ASSERT_EQ(slice(sent, 4 + 4 * k, 4), (Bytes{byte, byte, byte, byte})) << "word " << k;
    }
}

void ignore_alarm(int /*signal*/) {}

// Interrupted writes (short or with EINTR) are completed: a timer keeps
// interrupting a writer whose reader is slower than it.
TEST_F(SendUpdate, CompletesInterruptedWrites) {
    const size_t seg_size = 1 << 20;
    const pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        struct sigaction action{};
        action.sa_handler = ignore_alarm;  // no SA_RESTART: writes come back early
        sigaction(SIGALRM, &action, nullptr);
        const itimerval every_ms{{0, 1000}, {0, 1000}};
        setitimer(ITIMER_REAL, &every_ms, nullptr);
        std::vector<std::byte> segment(seg_size);
        for (size_t i = 0; i < seg_size; ++i) segment[i] = static_cast<std::byte>(i % 251);
        std::vector<std::byte> message(seg_size + 4);
        send_update(ends_[0], "gen1", segment, 9, message, kQuiet);
        _exit(0);
    }
    close(ends_[0]);
    ends_[0] = -1;
    Bytes sent;
    for (Bytes piece; sent.size() < seg_size + 4; sent.insert(sent.end(), piece.begin(), piece.end())) {
        usleep(200);
        piece = read_all(std::min<size_t>(65536, seg_size + 4 - sent.size()));
        if (piece.empty()) break;
    }
    int status = 0;
    ASSERT_EQ(waitpid(writer, &status, 0), writer);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_EQ(sent.size(), seg_size + 4);
    EXPECT_EQ(slice(sent, 0, 4), (Bytes{0, 0, 0, 9}));
    for (size_t word = 0; word < seg_size / 4; ++word) {
        std::uint8_t host[4];
        for (size_t b = 0; b < 4; ++b) host[b] = static_cast<std::uint8_t>((word * 4 + b) % 251);
        std::uint32_t value;
        std::memcpy(&value, host, 4);
        const Bytes expected{static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
                             static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
        ASSERT_EQ(slice(sent, 4 + word * 4, 4), expected) << "word " << word;
    }
}

TEST(SendUpdateDeathTest, AFailedWriteEndsTheSenderWith26) {
    std::vector<std::byte> segment(4096);
    std::vector<std::byte> message(4100);
    EXPECT_EXIT(send_update(-1, "gen1", segment, 0, message, kQuiet), testing::ExitedWithCode(26),
                "^write failed\n: Bad file descriptor\n$");
}

}  // namespace
}  // namespace gorv
