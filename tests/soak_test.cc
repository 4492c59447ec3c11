// No update is lost: a master and four remotes while every MO segment on the
// master and every RO segment on the remotes is written at random moments
// with random words. Once the writers stop and two passes have gone by,
// every copy equals its original. GORV_SOAK_SECONDS sets how long the
// writers run (default 6).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>

#include "common/constants.h"
#include "tests/harness/process_harness.h"

namespace gorv::test {
namespace {

constexpr int kClients = 4;

key_t remote_key(key_t base, int id) { return base + 2 * id; }

struct Segments {
    std::span<std::byte> area;
    size_t seg_size;
    std::span<std::byte> operator[](int i) const { return area.subspan(static_cast<size_t>(i) * seg_size, seg_size); }
};

// Count of 32-bit words that differ between two segments.
size_t differing_words(std::span<const std::byte> a, std::span<const std::byte> b) {
    size_t differ = 0;
    for (size_t k = 0; k + 4 <= a.size(); k += 4) differ += std::memcmp(&a[k], &b[k], 4) != 0;
    return differ;
}

class Soak : public testing::TestWithParam<int> {};

TEST_P(Soak, EveryCopyEqualsItsOriginalOnceTheWritersStop) {
    const int seg_size = GetParam();
    const std::string size = std::to_string(seg_size);
    const char* seconds_text = std::getenv("GORV_SOAK_SECONDS");
    const int seconds = seconds_text != nullptr ? std::atoi(seconds_text) : 6;

    write_file("/tmp/clients", "Clientname=localhost Instances=" + std::to_string(kClients) + "\n");
    Running master({program("gorv_master"), "-s", size, "-g", "/tmp/clients"});
    ASSERT_TRUE(wait_until([] { return area_info(kMasterRoKey).has_value(); }));
    std::vector<std::unique_ptr<Running>> remotes;
    for (int id = 0; id < kClients; ++id)
        remotes.push_back(std::make_unique<Running>(
            std::vector<std::string>{program("gorv_remote"), "-H", "localhost", "-n", std::to_string(id), "-s", size}));
    // Remotes start in no particular order: wait for every one's areas.
    ASSERT_TRUE(wait_until([] {
        for (int id = 0; id < kClients; ++id)
            if (!area_info(remote_key(kRemoteRoKeyBase, id)).has_value()) return false;
        return true;
    }));

    const auto page = static_cast<size_t>(seg_size);
    const Segments master_mo{attach_area(kMasterMoKey), page};
    const Segments master_ro{attach_area(kMasterRoKey), page};
    std::vector<std::span<std::byte>> remote_mo;
    std::vector<std::span<std::byte>> remote_ro;
    for (int id = 0; id < kClients; ++id) {
        remote_mo.push_back(attach_area(remote_key(kRemoteMoKeyBase, id)));
        remote_ro.push_back(attach_area(remote_key(kRemoteRoKeyBase, id)));
        ASSERT_EQ(remote_mo.back().size(), page);
        ASSERT_EQ(remote_ro.back().size(), page);
    }
    ASSERT_EQ(master_mo.area.size(), page * kClients);
    ASSERT_EQ(master_ro.area.size(), page * kClients);

    // Writers: bursts of random words into random segments at random moments.
    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> client(0, kClients - 1);
    std::uniform_int_distribution<size_t> word(0, page / 4 - 1);
    std::uniform_int_distribution<int> burst(1, 8);
    std::uniform_int_distribution<int> pause_ms(0, 30);
    long writes = 0;
    const auto stop = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < stop) {
        for (int n = burst(random); n > 0; --n) {
            const int i = client(random);
            const std::uint32_t value = random();
            const bool on_master = random() % 2 == 0;
            std::span<std::byte> segment = on_master ? master_mo[i] : remote_ro[static_cast<size_t>(i)];
            std::memcpy(&segment[word(random) * 4], &value, 4);
            ++writes;
        }
        std::this_thread::sleep_for(Millis(pause_ms(random)));
    }

    // Two passes and their transit, then every pair must match.
    auto in_step = [&] {
        for (int i = 0; i < kClients; ++i) {
            if (differing_words(master_mo[i], remote_mo[static_cast<size_t>(i)]) != 0) return false;
            if (differing_words(master_ro[i], remote_ro[static_cast<size_t>(i)]) != 0) return false;
        }
        return true;
    };
    const auto writers_stopped = std::chrono::steady_clock::now();
    const bool settled = wait_until(in_step, 20s);
    const auto settle_ms = std::chrono::duration_cast<Millis>(std::chrono::steady_clock::now() - writers_stopped);
    size_t differences = 0;
    for (int i = 0; i < kClients; ++i) {
        differences += differing_words(master_mo[i], remote_mo[static_cast<size_t>(i)]);
        differences += differing_words(master_ro[i], remote_ro[static_cast<size_t>(i)]);
    }
    std::printf("soak: %d clients, Seg_size %d, %d s, %ld writes, in step %lld ms after the last, %zu words differing\n",
                kClients, seg_size, seconds, writes, static_cast<long long>(settle_ms.count()), differences);
    EXPECT_TRUE(settled);
    EXPECT_EQ(differences, 0u);
}

INSTANTIATE_TEST_SUITE_P(SegmentSizes, Soak, testing::Values(4096, 8192));

}  // namespace
}  // namespace gorv::test
