// ostrela_monitor as an operator sees it: its exact lines over passes,
// its failures and refusals. Each test runs in namespaces of its own,
// against a real gorv_master's areas or areas the test made itself.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstring>
#include <memory>
#include <sstream>

#include "common/constants.h"
#include "tests/harness/process_harness.h"
#include "tools/client_records.h"

namespace gorv::test {
namespace {

using tools::StatusRecord;

Finished monitor(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), program("ostrela_monitor"));
    return run(arguments);
}

// Whether a line begins like "Mon Jan  5 14:03:09 2026 CL ": ctime()'s
// 24 characters, then the client part.
bool starts_with_timestamp(const std::string& line) {
    const std::string shape = "Aaa Aaa _9 99:99:99 9999 CL ";
    if (line.size() < shape.size()) return false;
    for (size_t i = 0; i < shape.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        const bool fits = shape[i] == 'A'   ? std::isupper(c) != 0
                          : shape[i] == 'a' ? std::islower(c) != 0
                          : shape[i] == '9' ? std::isdigit(c) != 0
                          : shape[i] == '_' ? (c == ' ' || std::isdigit(c) != 0)
                                            : c == static_cast<unsigned char>(shape[i]);
        if (!fits) return false;
    }
    return true;
}

// Each status line's timestamp becomes "T".
std::string without_timestamps(const std::string& out) {
    std::istringstream lines(out);
    std::string result;
    for (std::string line; std::getline(lines, line);) {
        if (starts_with_timestamp(line)) {
            line.erase(0, 23);
            line.front() = 'T';
        }
        result.append(line).push_back('\n');
    }
    return result;
}

void registry(const std::string& ro_line) {
    write_file(kMasterRegistryPath, "GORV_MO_key 0x3141592 GORV_MO_size 4096 Number_of_segs 1 Seg_size 4096\n" + ro_line);
}

// A master with three clients of 8192 bytes, and the monitor watching it.
class MonitorAgainstMaster : public testing::Test {
  protected:
    void SetUp() override {
        write_file("/tmp/clients", "Clientname=localhost Instances=3\n");
        master_ = std::make_unique<Running>(
            std::vector<std::string>{program("gorv_master"), "-s", "8192", "-g", "/tmp/clients"});
        ASSERT_TRUE(wait_until([] { return file_exists(kMasterRegistryPath); }));
        area_ = attach_area(kMasterRoKey);
        ASSERT_EQ(area_.size(), 3u * 8192);
    }
    void put(int client, const StatusRecord& record) {
        std::memcpy(area_.data() + static_cast<size_t>(client) * 8192, &record, sizeof record);
    }
    void start_monitor() { monitor_ = std::make_unique<Running>(std::vector<std::string>{program("ostrela_monitor")}); }
    // Waits (a few passes at most) until the output shows `expected`.
    ::testing::AssertionResult shows(const std::string& expected) {
        if (wait_until([&] { return without_timestamps(monitor_->out()) == expected; }, 4s))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "output is\n" << monitor_->out();
    }

    std::unique_ptr<Running> master_;
    std::unique_ptr<Running> monitor_;
    std::span<std::byte> area_;
};

TEST(MonitorCommandLine, HelpAndVersion) {
    const Finished help = monitor({"-x", "-h", "-v"});
    EXPECT_EQ(help.exit_status, 0);
    EXPECT_EQ(help.out, "\t-h............  Help screen\n\n");
    EXPECT_NE(help.err.find("invalid option -- 'x'"), std::string::npos);

    const Finished version = monitor({"-v"});
    EXPECT_EQ(version.exit_status, 0);
    EXPECT_EQ(version.out, "Version         $Revision: 610 $\n");
}

TEST(MonitorFailures, NoRegistryNoAreaOrAnEmptyRegistry) {
    const Finished no_registry = monitor({});
    EXPECT_EQ(no_registry.exit_status, 1);
    EXPECT_EQ(no_registry.out, "Get_master_zone failed\n");

    registry("GORV_RO_key 0x3141593 GORV_RO_size 12288 Number_of_segs 3 Seg_size 4096\n");
    const Finished no_area = monitor({});
    EXPECT_EQ(no_area.exit_status, 1);
    EXPECT_EQ(no_area.out, "Monitoring 3 clients\nShmid -1 Errno 2\nGet_master_zone failed\n");

    registry("GORV_RO_key 0x3141593\n");
    const Finished short_file = monitor({});
    EXPECT_EQ(short_file.exit_status, 1);
    EXPECT_EQ(short_file.out, "Monitoring 0 clients\nGet_master_zone failed\n");
}

TEST(MonitorRefusals, MoreClientsThanItsSnapshotOrRecordsPastTheArea) {
    create_area(kMasterRoKey, 11308);  // 257 records of 44 bytes
    registry("GORV_RO_key 0x3141593 GORV_RO_size 11308 Number_of_segs 257 Seg_size 44\n");
    const Finished too_many = monitor({});
    EXPECT_EQ(too_many.exit_status, 1);
    EXPECT_EQ(too_many.out, "Monitoring 257 clients\nMonitoring refused: 257 clients are more than 256\n");

    registry("GORV_RO_key 0x3141593 GORV_RO_size 11308 Number_of_segs 3 Seg_size 5644\n");
    const Finished past_area = monitor({});
    EXPECT_EQ(past_area.exit_status, 1);
    EXPECT_EQ(past_area.out,
              "Monitoring 3 clients\nMonitoring refused: client 2's status would end past the 11308 bytes of the RO area\n");
}

TEST(MonitorRefusals, NoClientsMeansNoOutputEver) {
    create_area(kMasterRoKey, 4096);
    registry("GORV_RO_key 0x3141593 GORV_RO_size 4096 Number_of_segs 0 Seg_size 4096\n");
    Running watching({program("ostrela_monitor")});
    ASSERT_TRUE(wait_until([&] { return watching.out() == "Monitoring 0 clients\n"; }));
    EXPECT_FALSE(wait_until([&] { return watching.out() != "Monitoring 0 clients\n"; }, 1500ms));
    EXPECT_FALSE(watching.wait_exit(0ms).has_value());
}

TEST_F(MonitorAgainstMaster, LinesForChangedClientsOverPassesWithThePhaseHeld) {
    put(0, {.cur_op_rate = 99.5, .run_time = 12.0, .rt = 1.25, .wt = 2.5, .phase = tools::kPhaseRun});
    put(2, {.req_op_rate = 1500.0, .cur_op_rate = 1499.0, .run_time = 3.0, .wt = 2.0});
    start_monitor();
    const std::string first =
        "Monitoring 3 clients\n"
        "T CL 0: S:RUN  Cur op_rate      99.50 Ops/sec. Run_time  12 secs RT: 1.25 WT: 2.50\n"
        "T CL 2: S:RUN  Req op_rate    1500.00 Cur op_rate    1499.00 Ops/sec. Run_time   3 secs RT 0.00 WT: 2.00\n"
        "\n";
    ASSERT_TRUE(shows(first));

    // Only client 0 changes: its line, and no empty line after the pass.
    put(0, {.cur_op_rate = 100.0, .run_time = 13.0, .rt = 1.25, .wt = 2.5, .phase = tools::kPhaseWarm});
    const std::string second =
        first + "T CL 0: S:WARM Cur op_rate     100.00 Ops/sec. Run_time  13 secs RT: 1.25 WT: 2.50\n";
    ASSERT_TRUE(shows(second));

    // Phase 0 shows the text held from the pass before.
    put(0, {.cur_op_rate = 101.0, .run_time = 14.0});
    put(2, {.req_op_rate = 1500.0, .cur_op_rate = 1500.0, .run_time = 4.0, .wt = 2.0});
    EXPECT_TRUE(shows(second +
                      "T CL 0: S:WARM Cur op_rate     101.00 Ops/sec. Run_time  14 secs RT: 0.00 WT: 0.00\n"
                      "T CL 2: S:WARM Req op_rate    1500.00 Cur op_rate    1500.00 Ops/sec. Run_time   4 secs RT "
                      "0.00 WT: 2.00\n\n"));
}

TEST_F(MonitorAgainstMaster, ANanGivesALineInEveryPass) {
    put(1, {.wt = std::nan("")});
    start_monitor();
    const std::string nan_line = "T CL 1: S: Cur op_rate       0.00 Ops/sec. Run_time   0 secs RT: 0.00 WT: nan\n";
    ASSERT_TRUE(wait_until([&] { return without_timestamps(monitor_->out()).ends_with(nan_line + nan_line); }, 4s));
    EXPECT_TRUE(without_timestamps(monitor_->out()).starts_with("Monitoring 3 clients\n" + nan_line + nan_line));
}

}  // namespace
}  // namespace gorv::test
