// ostrela_client against a remote daemon's areas made by the test: it takes
// its requests, does paced work in a scratch directory, reports its status
// through the phases, and leaves nothing behind. Namespaces of its own.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstring>
#include <memory>
#include <regex>

#include "common/constants.h"
#include "tests/harness/process_harness.h"
#include "tools/client_records.h"
#include "tools/workload_json.h"

namespace gorv::test {
namespace {

using tools::ControlRecord;
using tools::StatusRecord;

constexpr char kScratch[] = "/tmp/scratch";

// Names in a directory, "." and ".." left out.
std::vector<std::string> entries(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) return names;
    while (const dirent* entry = readdir(dir))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) names.emplace_back(entry->d_name);
    closedir(dir);
    return names;
}

// The two areas and the registry file a remote daemon for client 3 would make.
class ClientProgram : public testing::Test {
  protected:
    void SetUp() override { make_areas(8192); }
    void make_areas(int size) {
        create_area(kRemoteMoKey, static_cast<size_t>(size));
        create_area(kRemoteRoKey, static_cast<size_t>(size));
        write_file("/tmp/gorv_registry_client_3", "GORV_MO_key 0x2718287 GORV_MO_size " + std::to_string(size) +
                                                     " \nGORV_RO_key 0x2718288 GORV_RO_size " + std::to_string(size) +
                                                     "\n");
        control_ = attach_area(kRemoteMoKey);
        status_area_ = attach_area(kRemoteRoKey);
        ASSERT_EQ(mkdir(kScratch, 0755), 0);
    }
    void start(const std::string& warm_seconds) {
        client_ = std::make_unique<Running>(
            std::vector<std::string>{program("ostrela_client"), "-n", "3", "-d", kScratch, "-w", warm_seconds});
    }
    void request_rate(double rate) {
        std::memcpy(control_.data() + offsetof(ControlRecord, op_rate), &rate, sizeof rate);
        const std::int32_t changed = 1;
        std::memcpy(control_.data() + offsetof(ControlRecord, op_rate_changed), &changed, sizeof changed);
    }
    std::int32_t control_flag(std::size_t offset) const {
        std::int32_t flag = 0;
        std::memcpy(&flag, control_.data() + offset, sizeof flag);
        return flag;
    }
    StatusRecord status() const {
        StatusRecord record;
        std::memcpy(&record, status_area_.data(), sizeof record);
        return record;
    }
    bool rate_near(double rate) const {
        const StatusRecord now = status();
        return now.req_op_rate == rate && now.cur_op_rate > rate * 0.6 && now.cur_op_rate < rate * 1.4;
    }
    std::optional<int> stop(int signal) {
        kill(client_->pid(), signal);
        return client_->wait_exit(5s);
    }

    static constexpr key_t kRemoteMoKey = gorv::kRemoteMoKeyBase + 6;
    static constexpr key_t kRemoteRoKey = gorv::kRemoteRoKeyBase + 6;
    std::span<std::byte> control_;
    std::span<std::byte> status_area_;
    std::unique_ptr<Running> client_;
};

TEST_F(ClientProgram, FollowsTheRequestedRateThroughItsPhasesAndCleansUp) {
    request_rate(200.0);
    start("1");
    ASSERT_TRUE(wait_until([&] { return control_flag(offsetof(ControlRecord, op_rate_changed)) == 0; }));
    ASSERT_EQ(entries(kScratch).size(), 1u);
    const std::string own_dir = std::string(kScratch) + "/" + entries(kScratch)[0];
    EXPECT_TRUE(own_dir.starts_with("/tmp/scratch/ostrela_client_3_"));

    ASSERT_TRUE(wait_until([&] { return status().phase == tools::kPhaseRun && status().run_time >= 1.0; }, 5s));
    EXPECT_FALSE(entries(own_dir).empty());
    ASSERT_TRUE(wait_until([&] { return rate_near(200.0); }, 5s)) << status().cur_op_rate;
    EXPECT_GT(status().rt, 0.0);
    EXPECT_GT(status().wt, 0.0);

    const std::int32_t changed = 1;
    std::memcpy(control_.data() + offsetof(ControlRecord, workloads), &tools::kBuiltinWorkloadSet,
                sizeof tools::kBuiltinWorkloadSet);
    std::memcpy(control_.data() + offsetof(ControlRecord, workload_changed), &changed, sizeof changed);
    EXPECT_TRUE(wait_until([&] { return control_flag(offsetof(ControlRecord, workload_changed)) == 0; }));

    request_rate(50.0);
    EXPECT_TRUE(wait_until([&] { return rate_near(50.0); }, 5s)) << status().cur_op_rate;

    EXPECT_EQ(stop(SIGTERM), 0);
    EXPECT_EQ(status().phase, tools::kPhaseCleanup);
    EXPECT_TRUE(entries(kScratch).empty());
    EXPECT_EQ(client_->out(), "");
}

TEST_F(ClientProgram, InterruptedWhileWarmingItStillCleansUp) {
    start("100");
    ASSERT_TRUE(wait_until([&] { return status().phase == tools::kPhaseWarm; }));
    EXPECT_EQ(status().req_op_rate, 0.0);  // nothing requested: no work
    EXPECT_EQ(stop(SIGINT), 0);
    EXPECT_EQ(status().phase, tools::kPhaseCleanup);
    EXPECT_TRUE(entries(kScratch).empty());
}

// The share a report line gives, e.g. "  Read  1400  70.0%" or "  Read  65536 to 131071 bytes  1400  100.0%".
double share_of(const std::string& report, const std::string& line_start) {
    std::smatch found;
    const std::regex line("\n  " + line_start + "[^\n]* ([0-9.]+)%");
    return std::regex_search(report, found, line) ? std::stod(found[1]) : -1.0;
}

TEST_F(ClientProgram, RunsTheMixAndTheSizesOfTheWorkloadItIsGiven) {
    tools::WorkloadSet set;
    ASSERT_FALSE(tools::workload_set_from_text(R"({"workloads": [{"name": "READS", "op_mix": {"Read": 70, "Write": 30},
        "read_xfer": [{"min_size": 65536, "max_size": 65536, "percent": 100}],
        "write_xfer": [{"min_size": 4096, "max_size": 4096, "percent": 100}]}]})", set));
    std::memcpy(control_.data() + offsetof(ControlRecord, workloads), &set, sizeof set);
    const std::int32_t changed = 1;
    std::memcpy(control_.data() + offsetof(ControlRecord, workload_changed), &changed, sizeof changed);
    request_rate(100000.0);
    client_ = std::make_unique<Running>(
        std::vector<std::string>{program("ostrela_client"), "-n", "3", "-d", kScratch, "-w", "0", "-c", "2000"});
    ASSERT_EQ(client_->wait_exit(60s), 0);
    EXPECT_EQ(status().phase, tools::kPhaseCleanup);
    EXPECT_TRUE(entries(kScratch).empty());
    EXPECT_EQ(client_->out(), "");

    const std::string report = client_->err();
    EXPECT_NE(report.find("Client 3 ran 2000 operations, 2000 of them done:\n"), std::string::npos) << report;
    EXPECT_NEAR(share_of(report, "Read  "), 70.0, 3.0) << report;
    EXPECT_NEAR(share_of(report, "Write  "), 30.0, 3.0) << report;
    EXPECT_NEAR(share_of(report, "Read +65536 to 131071 bytes"), 100.0, 3.0) << report;
    EXPECT_NEAR(share_of(report, "Write +4096 to 8191 bytes"), 100.0, 3.0) << report;
}

TEST(ClientProgramFailures, NoRegistryNoAreasOrBadOptions) {
    const std::string client = program("ostrela_client");
    const Finished no_registry = run({client, "-n", "3"});
    EXPECT_EQ(no_registry.exit_status, 1);
    EXPECT_EQ(no_registry.out, "Client 3: cannot read /tmp/gorv_registry_client_3\n");

    write_file("/tmp/gorv_registry_client_3",
               "GORV_MO_key 0x2718287 GORV_MO_size 8192 \nGORV_RO_key 0x2718288 GORV_RO_size 8192\n");
    const Finished no_areas = run({client, "-n", "3"});
    EXPECT_EQ(no_areas.exit_status, 1);
    EXPECT_EQ(no_areas.out, "Shmid -1 Errno 2\nShmid -1 Errno 2\nClient 3: cannot attach the areas named in "
                            "/tmp/gorv_registry_client_3\n");

    write_file("/tmp/gorv_registry_client_3",
               "GORV_MO_key 0x2718287 GORV_MO_size 8 \nGORV_RO_key 0x2718288 GORV_RO_size 8192\n");
    const Finished small = run({client, "-n", "3"});
    EXPECT_EQ(small.exit_status, 1);
    EXPECT_EQ(small.out, "Client 3: areas of 8 and 8192 bytes cannot hold its records\n");

    const std::string usage = "ostrela_client: -n client_id [-d scratch_parent] [-w warm_seconds] [-h]\n";
    EXPECT_EQ(run({client}).out, usage);
    EXPECT_EQ(run({client}).exit_status, 1);
    EXPECT_EQ(run({client, "-h"}).exit_status, 0);
    const Finished bad_id = run({client, "-n", "255"});
    EXPECT_EQ(bad_id.exit_status, 1);
    EXPECT_EQ(bad_id.out, "ostrela_client: client id 255 refused: give 0 to 254\n");
}

}  // namespace
}  // namespace gorv::test
