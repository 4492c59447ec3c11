#include "tools/client_records.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace gorv::tools {
namespace {

const std::byte* set_bytes() { return reinterpret_cast<const std::byte*>(&kBuiltinWorkloadSet); }

std::string bytes_at(size_t offset, size_t length) {
    return {reinterpret_cast<const char*>(set_bytes()) + offset, length};
}

std::int32_t int_at(size_t offset) {
    std::int32_t value = 0;
    std::memcpy(&value, set_bytes() + offset, sizeof value);
    return value;
}

TEST(BuiltinWorkloadSet, NamesSitAtTheirOffsetsNulFilled) {
    EXPECT_EQ(bytes_at(0, 100), "METADATA" + std::string(92, '\0'));
    EXPECT_EQ(bytes_at(1504, 100), "BACKUP" + std::string(94, '\0'));
    EXPECT_EQ(bytes_at(3008, 100), "HOMEDIR" + std::string(93, '\0'));
    EXPECT_EQ(bytes_at(4512, 100), "HPC" + std::string(97, '\0'));
}

TEST(BuiltinWorkloadSet, OpMixEntriesKeepTheirNamesInEveryWorkload) {
    for (int w = 0; w < kWorkloadCount; ++w) {
        const size_t base = static_cast<size_t>(w) * 1504 + 100;
        const size_t create = base + 440;    // entry 11
        const size_t pathconf = base + 840;  // entry 21
        EXPECT_EQ(bytes_at(create + 4, 36), "Create" + std::string(30, '\0'));
        EXPECT_EQ(int_at(create), 1);
        EXPECT_EQ(bytes_at(pathconf + 4, 36), "Pathconf" + std::string(28, '\0'));
        EXPECT_EQ(int_at(pathconf), 0);
        for (int k = 0; k < kOpMixEntries; ++k)
            EXPECT_STREQ(kBuiltinWorkloadSet.workloads[w].op_mix[k].op_name, kOpNames[k]);
    }
}

TEST(BuiltinWorkloadSet, EveryMixAndBandListAddsUpToOneHundred) {
    for (const WorkloadDescription& workload : kBuiltinWorkloadSet.workloads) {
        int mix = 0;
        int reads = 0;
        int writes = 0;
        for (const OpMixEntry& entry : workload.op_mix) mix += entry.percent;
        for (const XferElement& band : workload.read_xfer) reads += band.percent;
        for (const XferElement& band : workload.write_xfer) writes += band.percent;
        EXPECT_EQ(mix, 100) << workload.workload_name;
        EXPECT_EQ(reads, 100) << workload.workload_name;
        EXPECT_EQ(writes, 100) << workload.workload_name;
    }
}

TEST(BuiltinWorkloadSet, ChosenValuesOfEachWorkload) {
    const WorkloadDescription* w = kBuiltinWorkloadSet.workloads;
    EXPECT_EQ(w[0].op_mix[0].percent, 10);
    EXPECT_EQ(w[1].op_mix[15].percent, 26);
    EXPECT_EQ(w[2].op_mix[18].percent, 10);
    EXPECT_EQ(w[3].op_mix[4].percent, 28);
    EXPECT_EQ(w[0].read_xfer[6].percent, 36);
    EXPECT_EQ(w[1].write_xfer[8].percent, 35);
    EXPECT_EQ(w[1].write_xfer[6].percent, 0);
    EXPECT_EQ(w[2].write_xfer[5].min_size, 4097);
    EXPECT_EQ(w[3].read_xfer[5].min_size, 4096);
    EXPECT_EQ(w[3].read_xfer[7].min_size, 8192);
    EXPECT_EQ(w[3].read_xfer[13].max_size, 2097152);
    EXPECT_EQ(w[3].write_xfer[13].min_size, 2359296);
    EXPECT_EQ(w[3].write_xfer[15].max_size, 8388608);
    EXPECT_EQ(w[0].percent_geometric, 10);
    EXPECT_EQ(w[1].percent_geometric, 0);
    EXPECT_EQ(w[2].percent_write_commit, 33);
    EXPECT_EQ(w[3].percent_write_commit, 0);
}

TEST(BuiltinWorkloadSet, LastFortyBytesOfEachWorkload) {
    const std::int32_t numbers[kWorkloadCount] = {0, 30, 30, 0};
    for (int w = 0; w < kWorkloadCount; ++w) {
        const size_t base = static_cast<size_t>(w) * 1504;
        EXPECT_EQ(int_at(base + 1464), numbers[w]);
        EXPECT_EQ(bytes_at(base + 1468, 16), std::string(16, '\0'));
        EXPECT_EQ(bytes_at(base + 1484, 20), "POSIX" + std::string(15, '\0'));
    }
}

TEST(PhaseText, CodesOneToFiveHaveTextsOthersNone) {
    EXPECT_STREQ(phase_text(1), "INIT");
    EXPECT_STREQ(phase_text(2), "WARM");
    EXPECT_STREQ(phase_text(3), "RUN ");
    EXPECT_STREQ(phase_text(4), "PRE-WARM");
    EXPECT_STREQ(phase_text(5), "CLEANUP ");
    EXPECT_EQ(phase_text(0), nullptr);
    EXPECT_EQ(phase_text(-1), nullptr);
    EXPECT_EQ(phase_text(6), nullptr);
}

}  // namespace
}  // namespace gorv::tools
