#include "tools/status_lines.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace gorv::tools {
namespace {

constexpr std::int32_t kSegSize = 4096;

const char* fixed_timestamp() { return "Mon Jan  5 14:03:09 2026"; }

// Three clients' RO segments and the monitor's state across passes.
class MonitorPasses : public testing::Test {
  protected:
    void put(std::int32_t client, const StatusRecord& record) {
        std::memcpy(area_.data() + static_cast<size_t>(client) * kSegSize, &record, sizeof record);
    }
    std::string pass() {
        char* text = nullptr;
        size_t length = 0;
        std::FILE* out = open_memstream(&text, &length);
        monitor_pass(area_, 3, kSegSize, state_, out, fixed_timestamp);
        std::fclose(out);
        std::string printed(text, length);
        std::free(text);
        return printed;
    }

    std::vector<std::byte> area_ = std::vector<std::byte>(size_t{3} * kSegSize);
    MonitorState state_;
};

std::string line(int client, const std::string& phase, const std::string& rest) {
    return std::string("Mon Jan  5 14:03:09 2026 CL ") + std::to_string(client) + ": S:" + phase + rest + "\n";
}

TEST_F(MonitorPasses, OnlyChangedClientsGetLinesAndTheLastOneAddsTheEmptyLine) {
    EXPECT_EQ(pass(), "");  // all zeros: nothing changed

    put(0, {.cur_op_rate = 12.5, .phase = kPhaseWarm});
    EXPECT_EQ(pass(), line(0, "WARM", " Cur op_rate      12.50 Ops/sec. Run_time   0 secs RT: 0.00 WT: 0.00"));
    EXPECT_EQ(pass(), "");

    put(2, {.req_op_rate = 1500.0, .cur_op_rate = 1499.5, .run_time = 7.4, .rt = 1.234, .wt = 0.5, .phase = kPhaseRun});
    EXPECT_EQ(pass(), line(2, "RUN ",
                           " Req op_rate    1500.00 Cur op_rate    1499.50 Ops/sec. Run_time   7 secs RT 1.23 WT: 0.50") +
                          "\n");
}

TEST_F(MonitorPasses, PhaseOrRequestedRateAloneIsNoChange) {
    put(1, {.run_time = 1.0, .phase = kPhaseInit});
    EXPECT_EQ(pass(), line(1, "INIT", " Cur op_rate       0.00 Ops/sec. Run_time   1 secs RT: 0.00 WT: 0.00"));
    put(1, {.req_op_rate = 100.0, .run_time = 1.0, .phase = kPhaseWarm});
    EXPECT_EQ(pass(), "");
}

TEST_F(MonitorPasses, NanCountsAsAChangeInEveryPass) {
    put(2, {.wt = std::nan("")});
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(pass(), line(2, "", " Cur op_rate       0.00 Ops/sec. Run_time   0 secs RT: 0.00 WT: nan") + "\n");
    put(2, {.req_op_rate = std::nan(""), .rt = 2.0});
    EXPECT_EQ(pass(), line(2, "", " Req op_rate        nan Cur op_rate       0.00 Ops/sec. Run_time   0 secs RT 2.00 WT: 0.00") +
                          "\n");
}

TEST_F(MonitorPasses, PhaseTextCarriesOverFromClientToClientAndPassToPass) {
    put(0, {.cur_op_rate = 1.0, .phase = kPhaseCleanup});
    put(1, {.cur_op_rate = 1.0, .phase = 0});
    put(2, {.req_op_rate = -0.0, .cur_op_rate = 1.0, .phase = 9});
    const std::string rest = " Cur op_rate       1.00 Ops/sec. Run_time   0 secs RT: 0.00 WT: 0.00";
    EXPECT_EQ(pass(), line(0, "CLEANUP ", rest) + line(1, "CLEANUP ", rest) + line(2, "CLEANUP ", rest) + "\n");

    put(0, {.cur_op_rate = 1.0, .phase = kPhasePreWarm});
    put(2, {.cur_op_rate = 2.0, .phase = -3});
    EXPECT_EQ(pass(), line(2, "PRE-WARM", " Cur op_rate       2.00 Ops/sec. Run_time   0 secs RT: 0.00 WT: 0.00") + "\n");
}

AreaEntry ro_area(std::int32_t segs, std::int32_t seg_size, std::int32_t size) {
    return {0x3141593, size, segs, seg_size};
}

TEST(CheckStatusArea, CountsAboveTheSnapshotOrRecordsPastTheAreaAreRefused) {
    EXPECT_EQ(check_status_area(ro_area(3, 4096, 3 * 4096)), AreaFit::kFits);
    EXPECT_EQ(check_status_area(ro_area(256, 4096, 256 * 4096)), AreaFit::kFits);
    EXPECT_EQ(check_status_area(ro_area(257, 4096, 257 * 4096)), AreaFit::kTooManyClients);
    EXPECT_EQ(check_status_area(ro_area(3, 4096, 2 * 4096 + 44)), AreaFit::kFits);
    EXPECT_EQ(check_status_area(ro_area(3, 4096, 2 * 4096 + 43)), AreaFit::kPastArea);
    EXPECT_EQ(check_status_area(ro_area(1, 0, 43)), AreaFit::kPastArea);
    EXPECT_EQ(check_status_area(ro_area(2, -4096, 8192)), AreaFit::kPastArea);
    EXPECT_EQ(check_status_area(ro_area(255, 2147479552, 2147479552)), AreaFit::kPastArea);
    EXPECT_EQ(check_status_area(ro_area(0, 4096, 4096)), AreaFit::kFits);
    EXPECT_EQ(check_status_area(ro_area(-5, 4096, 4096)), AreaFit::kFits);
}

}  // namespace
}  // namespace gorv::tools
