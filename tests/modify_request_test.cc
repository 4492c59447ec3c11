#include "tools/modify_request.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "tests/harness/command_line.h"
#include "tools/workload_export.h"

namespace gorv::tools {
namespace {

std::vector<std::string> exported_lines() {
    char* text = nullptr;
    size_t length = 0;
    std::FILE* out = open_memstream(&text, &length);
    export_workload_set(kBuiltinWorkloadSet, out);
    std::fclose(out);
    std::vector<std::string> lines;
    std::istringstream stream(std::string(text, length));
    std::free(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

TEST(WorkloadExport, FiveHundredLinesWithoutCreateAndPathconfBeforeStatfs) {
    const std::vector<std::string> lines = exported_lines();
    ASSERT_EQ(lines.size(), 500u);
    EXPECT_EQ(lines[0], "Workload name METADATA");
    EXPECT_EQ(lines[1], "Percent Read 10");
    EXPECT_EQ(lines[11], "Percent Unlink 4");
    EXPECT_EQ(lines[12], "Percent Append 3");  // entry 12 follows entry 10
    EXPECT_EQ(lines[20], "Percent Pathconf 0");
    EXPECT_EQ(lines[21], "Percent Statfs 1");
    EXPECT_EQ(lines[23], "Percent Custom2 0");
    EXPECT_EQ(lines[24], "Read elem 0 xfer min size 1");
    EXPECT_EQ(lines[25], "Read elem 0 xfer max size 511");
    EXPECT_EQ(lines[26], "Read elem 0 xfer percent 3");
    EXPECT_EQ(lines[71], "Read elem 15 xfer percent 0");
    EXPECT_EQ(lines[72], "Write elem 0 xfer min size 1");
    EXPECT_EQ(lines[74], "Write elem 0 xfer percent 13");
    EXPECT_EQ(lines[120], "Percent write commit 33");
    EXPECT_EQ(lines[124], "Percent geometric 10");
    EXPECT_EQ(lines[125], "Workload name BACKUP");
    EXPECT_EQ(lines[250], "Workload name HOMEDIR");
    EXPECT_EQ(lines[375], "Workload name HPC");
    EXPECT_EQ(lines[375 + 72 + 13 * 3], "Write elem 13 xfer min size 2359296");
    EXPECT_EQ(lines[499], "Percent geometric 0");
    for (const std::string& line : lines) EXPECT_EQ(line.find("Create"), std::string::npos);
}

AreaEntry mo_area(std::int32_t segs, std::int32_t seg_size, std::int32_t size) {
    return {0x3141592, size, segs, seg_size};
}

TEST(PlaceRequest, IdsOutsideTheClientsAreRefused) {
    const AreaEntry mo = mo_area(3, 8192, 3 * 8192);
    EXPECT_EQ(place_request({.client_id = 0}, mo), Placement::kFits);
    EXPECT_EQ(place_request({.client_id = 2, .workload_update = true}, mo), Placement::kFits);
    EXPECT_EQ(place_request({.client_id = 3}, mo), Placement::kNoSuchClient);
    EXPECT_EQ(place_request({.client_id = -1}, mo), Placement::kNoSuchClient);
    EXPECT_EQ(place_request({.client_id = 4294967297L}, mo), Placement::kNoSuchClient);
}

TEST(PlaceRequest, AWorkloadSetNeedsSixThousandThirtyTwoBytesPerSegment) {
    const AreaEntry mo = mo_area(3, 4096, 3 * 4096);
    EXPECT_EQ(place_request({.client_id = 2, .rate_update = true}, mo), Placement::kFits);
    EXPECT_EQ(place_request({.client_id = 0, .workload_update = true}, mo), Placement::kPastSegment);
    EXPECT_EQ(place_request({.client_id = 0, .workload_update = true}, mo_area(1, 6032, 6032)), Placement::kFits);
    EXPECT_EQ(place_request({.client_id = 0}, mo_area(1, 15, 4096)), Placement::kPastSegment);
    EXPECT_EQ(place_request({.client_id = 0}, mo_area(1, -4096, 4096)), Placement::kPastSegment);
}

TEST(PlaceRequest, NothingEndsPastTheAreaWhateverTheRegistrySays) {
    // Seg_size and client count that disagree with the area size.
    const AreaEntry mo = mo_area(3, 8192, 8192 + 16);
    EXPECT_EQ(place_request({.client_id = 1}, mo), Placement::kFits);
    EXPECT_EQ(place_request({.client_id = 1, .workload_update = true}, mo), Placement::kPastArea);
    EXPECT_EQ(place_request({.client_id = 2}, mo), Placement::kPastArea);
    EXPECT_EQ(place_request({.client_id = 254}, mo_area(255, 2147479552, 2147479552)), Placement::kPastArea);
}

class ModifyOptions : public testing::Test {
  protected:
    std::optional<int> parse(std::vector<std::string> words) {
        test::CommandLine line("ostrela_modify", std::move(words));
        return parse_modify_options(line.argc(), line.argv(), request);
    }
    ModifyRequest request;
};

TEST_F(ModifyOptions, LastOccurrenceCountsAndABadRateKeepsTheEarlierOne) {
    EXPECT_EQ(parse({"-r", "2", "-o", "150", "-r", "1", "-o", "abc", "-w", "x", " ", "operand"}), std::nullopt);
    EXPECT_EQ(request.client_id, 1);
    EXPECT_EQ(request.rate, 150.0);
    EXPECT_TRUE(request.rate_update);
    EXPECT_TRUE(request.workload_update);
}

TEST_F(ModifyOptions, ClientIdTakesLeadingDigitsOnly) {
    EXPECT_EQ(parse({"-r", "abc"}), std::nullopt);
    EXPECT_EQ(request.client_id, 0);
    EXPECT_EQ(parse({"-r", "12x"}), std::nullopt);
    EXPECT_EQ(request.client_id, 12);
    EXPECT_FALSE(request.rate_update);
    EXPECT_FALSE(request.workload_update);
}

}  // namespace
}  // namespace gorv::tools
