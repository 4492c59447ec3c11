#include "common/update_message.h"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/big_endian.h"
#include "common/constants.h"
#include "common/log_line.h"

namespace gorv {

const UpdateTexts kMasterUpdateTexts{
    .log_level = kMasterLogLevel,
    .got_dest_who = "Master got dest_who of %d\n",
    .message_size = "Neutral size = %d\n",
    .sending = "Master sending update message to remote \"%s\" size %d ID: %d\n",
};

const UpdateTexts kRemoteUpdateTexts{
    .log_level = kRemoteLogLevel,
    .sending_to = "Child sending to %d\n",
    .sending_of_id = "Remote[%d] sending update to master \"%s\" \n",
    .comparing = "Sync time for remote segments \n",
    .change_found = "Sync needed.\n",
};

const UpdateTexts kSilentUpdateTexts{};

namespace {

constexpr std::size_t kWord = 4;
constexpr std::size_t kCacheLine = 64;

// Buffers hold words at any byte offset; memcpy keeps the loads and stores
// legal and still compiles to single moves.
std::uint32_t load_word(const std::byte* from) {
    std::uint32_t word;
    std::memcpy(&word, from, kWord);
    return word;
}

void store_word(std::byte* to, std::uint32_t word) { std::memcpy(to, &word, kWord); }

std::uint32_t host_to_net32(std::uint32_t word) {
    if constexpr (std::endian::native == std::endian::little) return __builtin_bswap32(word);
    return word;
}

// The word loops below run once a second over every segment. Built for the
// x86-64 baseline alone they move 16 bytes a step, while memcpy and memcmp
// pick 32- or 64-byte steps at run time; these clones let the loops keep up.
#if defined(__x86_64__) && !defined(__clang__)
#define WIDE_LOOP __attribute__((target_clones("arch=x86-64-v4", "avx2", "ssse3", "default")))
#else
#define WIDE_LOOP
#endif

// Byte order conversion is the same swap in both directions. The x86-64
// baseline has no byte shuffle, so the loop is also built for the wider
// instruction sets, where it vectorises; the loader picks the best one.
// A message's payload starts 4 bytes into its buffer, so source and
// destination never share an alignment. The first few words are swapped one
// by one until the stores are cache-line aligned: a store that straddles two
// lines costs more than a load that does.
WIDE_LOOP
void swap_words(const std::byte* from, std::byte* to, std::size_t words) {
    const std::size_t misaligned = reinterpret_cast<std::uintptr_t>(to) % kCacheLine;
    const std::size_t head = std::min(words, (kCacheLine - misaligned) % kCacheLine / kWord);
    std::size_t k = 0;
    for (; k < head; ++k) store_word(to + k * kWord, host_to_net32(load_word(from + k * kWord)));
    for (; k < words; ++k) store_word(to + k * kWord, host_to_net32(load_word(from + k * kWord)));
}

// Each segment word is read once, and that value is both compared and
// kept: comparing first and copying afterwards would miss a word that
// another process writes in between, and that change would never be sent.
WIDE_LOOP
bool compare_and_keep(const std::byte* from, std::byte* to, std::size_t words) {
    std::uint32_t differ = 0;
    for (std::size_t k = 0; k < words; ++k) {
        const std::uint32_t word = load_word(from + k * kWord);
        differ |= word ^ load_word(to + k * kWord);
        store_word(to + k * kWord, word);
    }
    return differ != 0;
}

}  // namespace

void encode_update(std::span<const std::byte> segment, std::int32_t dest_who, std::span<std::byte> message) {
    store_n32(message.data(), static_cast<std::uint32_t>(dest_who));
    const std::span<std::byte> payload = message.subspan(kWord);
    const std::size_t words = std::min(segment.size(), payload.size()) / kWord;
    swap_words(segment.data(), payload.data(), words);
    std::fill(payload.begin() + static_cast<std::ptrdiff_t>(words * kWord), payload.end(), std::byte{0});
}

std::int32_t decode_update(std::span<const std::byte> message, std::span<std::byte> segment, const UpdateTexts& texts) {
    const auto dest_who = static_cast<std::int32_t>(load_n32(message.data()));
    log_line(texts.log_level, 2, texts.got_dest_who, dest_who);
    const std::span<const std::byte> payload = message.subspan(kWord);
    const std::size_t words = std::min(segment.size(), payload.size()) / kWord;
    swap_words(payload.data(), segment.data(), words);
    return dest_who;
}

void send_update(int socket, const char* peer_name, std::span<const std::byte> segment, std::int32_t dest_who,
                 std::span<std::byte> message, const UpdateTexts& texts) {
    const int length = static_cast<int>(message.size());
    log_line(texts.log_level, 2, texts.message_size, length);
    log_line(texts.log_level, 2, texts.sending_to, dest_who);
    encode_update(segment, dest_who, message);
    log_line(texts.log_level, 1, texts.sending, peer_name, length, dest_who);
    log_line(texts.log_level, 1, texts.sending_of_id, texts.own_id, peer_name);

    // A message cut short would misframe the stream for good: write it all.
    std::size_t written = 0;
    while (written < message.size()) {
        const ssize_t n = write(socket, message.data() + written, message.size() - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            std::perror("write failed\n");
            std::exit(kExitWriteFailed);
        }
        written += static_cast<std::size_t>(n);
    }
}

bool detect_change(std::span<const std::byte> segment, std::span<std::byte> shadow, const UpdateTexts& texts) {
    log_line(texts.log_level, 2, texts.comparing);
    const std::size_t words = std::min(segment.size(), shadow.size()) / kWord;
    if (!compare_and_keep(segment.data(), shadow.data(), words)) return false;
    log_line(texts.log_level, 2, texts.change_found);
    return true;
}

}  // namespace gorv
