// ostrela_monitor and ostrela_client after the areas they watch are
// released and made anew: each says so and goes on in the new ones.
// Namespaces of their own.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "common/constants.h"
#include "tests/harness/process_harness.h"
#include "tools/client_records.h"

namespace gorv::test {
namespace {

using tools::StatusRecord;

void put(std::span<std::byte> area, const StatusRecord& record) { std::memcpy(area.data(), &record, sizeof record); }

StatusRecord status_in(std::span<const std::byte> area) {
    StatusRecord record;
    std::memcpy(&record, area.data(), sizeof record);
    return record;
}

// As a release run does: the areas marked for removal, the registry gone.
void release(std::initializer_list<key_t> keys, const char* registry) {
    for (const key_t key : keys) shmctl(shmget(key, 0, 0), IPC_RMID, nullptr);
    unlink(registry);
}

TEST(Follow, TheMonitorWatchesTheMastersNewAreaAfterAReleaseAndANewStart) {
    write_file("/tmp/clients", "Clientname=localhost\n");
    const std::vector<std::string> master_line{program("gorv_master"), "-g", "/tmp/clients"};
    auto master = std::make_unique<Running>(master_line);
    ASSERT_TRUE(wait_until([] { return file_exists(kMasterRegistryPath); }));
    put(attach_area(kMasterRoKey), {.cur_op_rate = 5, .phase = tools::kPhaseRun});
    Running monitor({program("ostrela_monitor")});
    ASSERT_TRUE(wait_until([&] { return monitor.out().find("Cur op_rate       5.00") != std::string::npos; }));

    master.reset();
    ASSERT_EQ(run({program("gorv_master"), "-r", "-g", "/tmp/clients"}).exit_status, 0);
    ASSERT_TRUE(wait_until([&] { return !monitor.err().empty(); }));
    EXPECT_EQ(monitor.err(), "The master's RO area is gone: waiting for a new one\n");
    master = std::make_unique<Running>(master_line);
    ASSERT_TRUE(wait_until([] { return area_info(kMasterRoKey).has_value(); }));
    put(attach_area(kMasterRoKey), {.cur_op_rate = 6, .phase = tools::kPhaseRun});
    ASSERT_TRUE(wait_until([&] { return monitor.out().find("Cur op_rate       6.00") != std::string::npos; }));
    EXPECT_EQ(monitor.err(),
              "The master's RO area is gone: waiting for a new one\nMonitoring the master's new RO area: 1 clients\n");
    EXPECT_TRUE(monitor.out().starts_with("Monitoring 1 clients\n"));
}

TEST(Follow, TheClientWaitsForItsRemotesAreasAndGoesOnInTheNewOnes) {
    constexpr key_t kMo = kRemoteMoKeyBase + 6;
    constexpr key_t kRo = kRemoteRoKeyBase + 6;
    constexpr char kRegistry[] = "/tmp/gorv_registry_client_3";
    const auto make_areas = [&] {
        create_area(kMo, 8192);
        create_area(kRo, 8192);
        write_file(kRegistry, "GORV_MO_key 0x2718287 GORV_MO_size 8192 \nGORV_RO_key 0x2718288 GORV_RO_size 8192\n");
        return attach_area(kRo);
    };
    std::span<std::byte> status = make_areas();
    ASSERT_EQ(mkdir("/tmp/scratch", 0755), 0);
    Running client({program("ostrela_client"), "-n", "3", "-d", "/tmp/scratch", "-w", "0"});
    ASSERT_TRUE(wait_until([&] { return status_in(status).phase == tools::kPhaseRun; }));

    release({kMo, kRo}, kRegistry);
    ASSERT_TRUE(wait_until([&] { return !client.out().empty(); }));
    EXPECT_EQ(client.out(), "Client 3: its remote's areas are gone; waiting for them\n");
    status = make_areas();
    ASSERT_TRUE(wait_until([&] { return status_in(status).phase == tools::kPhaseRun; }));
    EXPECT_EQ(client.out(),
              "Client 3: its remote's areas are gone; waiting for them\n"
              "Client 3: its remote's areas were made anew; attached the new ones\n");

    // Replaced between two looks: no wait, one line.
    release({kMo, kRo}, kRegistry);
    status = make_areas();
    ASSERT_TRUE(wait_until([&] { return status_in(status).phase == tools::kPhaseRun; }));
    EXPECT_TRUE(client.out().ends_with(
        "attached the new ones\nClient 3: its remote's areas were made anew; attached the new ones\n"))
        << client.out();
    kill(client.pid(), SIGTERM);
    EXPECT_EQ(client.wait_exit(5s), 0);
    EXPECT_EQ(status_in(status).phase, tools::kPhaseCleanup);
}

}  // namespace
}  // namespace gorv::test
