// ostrela_modify as an operator sees it: its output and status, and the
// bytes it leaves in the master's MO area. Each test runs in namespaces of
// its own, against areas made by a real gorv_master or by the test itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "common/constants.h"
#include "tests/harness/process_harness.h"
#include "tools/client_records.h"

namespace gorv::test {
namespace {

using tools::kBuiltinWorkloadSet;

constexpr std::byte kOld{0x5a};  // what the area held before the tool ran

Finished modify(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), program("ostrela_modify"));
    return run(arguments);
}

std::string usage() {
    return "\t-H............  Help screen\n\t-r #..........  Client ID\n\t-o #..........  Set Op_rate\n"
           "\t-E ...........  Export workload description\n\t-w filename ..  Import workload description\n\n";
}

// A master with `clients` clients on localhost, its MO area filled with kOld.
class ModifyAgainstMaster : public testing::Test {
  protected:
    void start_master(int clients, const std::string& size) {
        write_file("/tmp/clients", "Clientname=localhost Instances=" + std::to_string(clients) + "\n");
        master_ = std::make_unique<Running>(
            std::vector<std::string>{program("gorv_master"), "-s", size, "-g", "/tmp/clients"});
        ASSERT_TRUE(wait_until([] { return file_exists(kMasterRegistryPath); }));
        area_ = attach_area(kMasterMoKey);
        ASSERT_FALSE(area_.empty());
        std::ranges::fill(area_, kOld);
        expected_.assign(area_.begin(), area_.end());
    }
    template <typename T>
    void expect_write(size_t offset, const T& value) {
        std::memcpy(expected_.data() + offset, &value, sizeof value);
    }
    bool area_as_expected() const { return std::ranges::equal(area_, expected_); }

    std::unique_ptr<Running> master_;
    std::span<std::byte> area_;
    std::vector<std::byte> expected_;
};

TEST(ModifyCommandLine, UsageVersionAndHelpActAtOnce) {
    const Finished bare = modify({});
    EXPECT_EQ(bare.exit_status, 0);
    EXPECT_EQ(bare.out, usage());

    const Finished help = modify({"-o", "5", "-H", "-v"});
    EXPECT_EQ(help.exit_status, 0);
    EXPECT_EQ(help.out, usage());

    const Finished version = modify({"-v", "-H"});
    EXPECT_EQ(version.exit_status, 0);
    EXPECT_EQ(version.out, "Version         $Revision: 739 $\n");
}

TEST(ModifyFailures, NoRegistryNoAreaOrAnEmptyRegistry) {
    const Finished no_registry = modify({"-o", "5"});
    EXPECT_EQ(no_registry.exit_status, 1);
    EXPECT_EQ(no_registry.out, "Get_master_master_zone failed\n");

    write_file(kMasterRegistryPath,
               "GORV_MO_key 0x3141592 GORV_MO_size 12288 Number_of_segs 3 Seg_size 4096\n"
               "GORV_RO_key 0x3141593 GORV_RO_size 12288 Number_of_segs 3 Seg_size 4096\n");
    const Finished no_area = modify({"-o", "5"});
    EXPECT_EQ(no_area.exit_status, 1);
    EXPECT_EQ(no_area.out, "3 Active clients\nShmid -1 Errno 2\nGet_master_master_zone failed\n");

    create_area(kMasterMoKey, 4096);
    const Finished small_area = modify({"-o", "5"});
    EXPECT_EQ(small_area.exit_status, 1);
    EXPECT_EQ(small_area.out, "3 Active clients\nShmid -1 Errno 22\nGet_master_master_zone failed\n");

    write_file(kMasterRegistryPath, "GORV_MO_key 0x3141592\n");
    const Finished short_file = modify({"-o", "5"});
    EXPECT_EQ(short_file.exit_status, 1);
    EXPECT_EQ(short_file.out, "0 Active clients\nGet_master_master_zone failed\n");
}

TEST_F(ModifyAgainstMaster, ExportEndsTheRunBeforeAnythingIsWritten) {
    start_master(3, "8192");
    const Finished exported = modify({"-E"});
    EXPECT_EQ(exported.exit_status, 0);
    EXPECT_EQ(std::ranges::count(exported.out, '\n'), 500);
    EXPECT_TRUE(exported.out.starts_with("Workload name METADATA\nPercent Read 10\n"));

    for (const auto& arguments : {std::vector<std::string>{"-r", "2", "-o", "150", "-E"}, {"-E", "-o", "150"},
                                  {"-w", "x", "-E", "-H"}}) {
        const Finished late = modify(arguments);
        EXPECT_EQ(late.exit_status, 0);
        EXPECT_EQ(late.out, exported.out);
    }
    EXPECT_TRUE(area_as_expected());
}

TEST_F(ModifyAgainstMaster, RateLandsInTheClientsRecordInEitherOptionOrder) {
    start_master(3, "8192");
    for (const auto& arguments : {std::vector<std::string>{"-o", "150", "-r", "1"}, {"-r", "1", "-o", "150"}}) {
        const Finished set = modify(arguments);
        EXPECT_EQ(set.exit_status, 0);
        EXPECT_EQ(set.out, "3 Active clients\nSetting op_rate for client 1 to 150.000000\n");
        expect_write(8192, 150.0);
        expect_write(8200, std::int32_t{1});
        expect_write(8204, std::int32_t{0});
        EXPECT_TRUE(area_as_expected());
    }
}

TEST_F(ModifyAgainstMaster, WorkloadSetFollowsTheRateAndTheFileIsNeverOpened) {
    start_master(3, "8192");
    const Finished set = modify({"-r", "2", "-o", "10", "-w", "/tmp/no_such_file"});
    EXPECT_EQ(set.exit_status, 0);
    EXPECT_EQ(set.out,
              "3 Active clients\nSetting op_rate for client 2 to 10.000000\n"
              "Setting workload parameters for client 2\n");
    expect_write(16384, 10.0);
    expect_write(16392, std::int32_t{1});
    expect_write(16396, std::int32_t{1});
    expect_write(16400, kBuiltinWorkloadSet);
    EXPECT_TRUE(area_as_expected());

    // A run without -w sets the workload flag back to 0, and touches nothing else.
    const Finished id_only = modify({"-r", "2"});
    EXPECT_EQ(id_only.exit_status, 0);
    EXPECT_EQ(id_only.out, "3 Active clients\n");
    expect_write(16396, std::int32_t{0});
    EXPECT_TRUE(area_as_expected());
}

TEST_F(ModifyAgainstMaster, ARateThatDoesNotConvertWritesZeroAndUnknownOptionsAreSkipped) {
    start_master(1, "4096");
    const Finished set = modify({"-x", "-o", "abc", "-r"});
    EXPECT_EQ(set.exit_status, 0);
    EXPECT_EQ(set.out, "1 Active clients\nSetting op_rate for client 0 to 0.000000\n");
    EXPECT_NE(set.err.find("invalid option -- 'x'"), std::string::npos);
    EXPECT_NE(set.err.find("option requires an argument -- 'r'"), std::string::npos);
    expect_write(0, 0.0);
    expect_write(8, std::int32_t{1});
    expect_write(12, std::int32_t{0});
    EXPECT_TRUE(area_as_expected());
}

TEST_F(ModifyAgainstMaster, IdsOutsideTheClientsAndSetsTooBigForASegmentAreRefused) {
    start_master(3, "4096");
    const Finished past_last = modify({"-r", "3", "-o", "5"});
    EXPECT_EQ(past_last.exit_status, 1);
    EXPECT_EQ(past_last.out, "3 Active clients\nClient 3 refused: the master has 3 clients\n");

    const Finished negative = modify({"-r", "-1", "-o", "5"});
    EXPECT_EQ(negative.exit_status, 1);
    EXPECT_EQ(negative.out, "3 Active clients\nClient -1 refused: the master has 3 clients\n");

    const Finished whole_set = modify({"-r", "0", "-o", "5", "-w", "x"});
    EXPECT_EQ(whole_set.exit_status, 1);
    EXPECT_EQ(whole_set.out, "3 Active clients\nClient 0 refused: 6032 bytes do not fit in a segment of 4096 bytes\n");
    EXPECT_TRUE(area_as_expected());
}

TEST_F(ModifyAgainstMaster, AJsonExportGivenBackWritesWhatDashWWritesAndARefusedFileNothing) {
    start_master(3, "8192");
    const Finished exported = modify({"-J"});
    EXPECT_EQ(exported.exit_status, 0);
    EXPECT_TRUE(exported.out.starts_with("{\n  \"workloads\": [\n    {\n      \"name\": \"METADATA\",\n"));
    EXPECT_TRUE(area_as_expected());
    write_file("/tmp/set.json", exported.out);
    const Finished from_file = modify({"-r", "1", "-W", "/tmp/set.json"});
    EXPECT_EQ(from_file.exit_status, 0);
    EXPECT_EQ(from_file.out, "3 Active clients\nSetting workload parameters for client 1\n");
    const std::vector<std::byte> written(area_.begin(), area_.end());
    std::ranges::fill(area_, kOld);
    ASSERT_EQ(modify({"-r", "1", "-w", "x"}).exit_status, 0);
    EXPECT_TRUE(std::ranges::equal(area_, written));

    std::ranges::fill(area_, kOld);
    std::string refused = exported.out;
    refused.replace(refused.find("\"Read_file\""), 11, "\"Raed_file\"");
    write_file("/tmp/refused.json", refused);
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"-o", "5", "-W", "/tmp/refused.json"},
         "Workload file /tmp/refused.json refused: workloads[0].op_mix.Raed_file: no such operation\n"},
        {{"-W", "/tmp/none.json"}, "Workload file /tmp/none.json cannot be read: No such file or directory\n"},
        {{"-w", "x", "-W", "/tmp/set.json"}, "-w and -W refused together: give one workload set\n"},
    };
    for (const auto& [arguments, line] : cases) {
        const Finished run = modify(arguments);
        EXPECT_EQ(run.exit_status, 1);
        EXPECT_EQ(run.out, line);
    }
    EXPECT_TRUE(area_as_expected());
    EXPECT_NE(modify({"-H"}).err.find("\t-W file.json .  Write the workload set in a JSON file\n"), std::string::npos);
}

TEST(ModifyRefusals, ARegistryPromisingMoreThanTheAreaHoldsWritesNothing) {
    create_area(kMasterMoKey, 8192 + 16);
    const auto area = attach_area(kMasterMoKey);
    std::ranges::fill(area, kOld);
    write_file(kMasterRegistryPath,
               "GORV_MO_key 0x3141592 GORV_MO_size 8208 Number_of_segs 3 Seg_size 8192\n"
               "GORV_RO_key 0x3141593 GORV_RO_size 8208 Number_of_segs 3 Seg_size 8192\n");
    const Finished past_area = modify({"-r", "2", "-o", "5"});
    EXPECT_EQ(past_area.exit_status, 1);
    EXPECT_EQ(past_area.out, "3 Active clients\nClient 2 refused: its record would end past the 8208 bytes of the MO area\n");
    const Finished whole_set = modify({"-r", "1", "-w", "x"});
    EXPECT_EQ(whole_set.exit_status, 1);
    EXPECT_TRUE(std::ranges::all_of(area, [](std::byte b) { return b == kOld; }));

    // The last 16 bytes of the area still take a rate.
    const Finished fits = modify({"-r", "1", "-o", "5"});
    EXPECT_EQ(fits.exit_status, 0);
    EXPECT_TRUE(std::ranges::all_of(area.first(8192), [](std::byte b) { return b == kOld; }));
}

}  // namespace
}  // namespace gorv::test
