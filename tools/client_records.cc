#include "tools/client_records.h"

#include <array>

namespace gorv::tools {

const char* phase_text(std::int32_t phase) {
    switch (phase) {
        case kPhaseInit: return "INIT";
        case kPhaseWarm: return "WARM";
        case kPhaseRun: return "RUN ";
        case kPhasePreWarm: return "PRE-WARM";
        case kPhaseCleanup: return "CLEANUP ";
        default: return nullptr;
    }
}

namespace {

using Percents = std::array<std::int32_t, kXferElements>;
using Bands = std::array<std::array<std::int32_t, 2>, kXferElements>;  // min_size, max_size

// The bands that METADATA, BACKUP and HOMEDIR share for reads and writes.
constexpr Bands kCommonBands{{{1, 511},
                              {512, 1023},
                              {1024, 2047},
                              {2048, 4095},
                              {4096, 4096},
                              {4097, 8191},
                              {8192, 8192},
                              {8193, 16383},
                              {16384, 16384},
                              {16385, 32767},
                              {32768, 32768},
                              {65536, 65536},
                              {98304, 98304},
                              {131072, 131072},
                              {262144, 262144},
                              {524288, 524288}}};

// HPC's reads and writes differ in element 13 only.
constexpr Bands kHpcReadBands{{{1, 511},
                               {512, 1023},
                               {1024, 2047},
                               {2048, 4095},
                               {4096, 4096},
                               {4096, 8191},
                               {8192, 8192},
                               {8192, 16383},
                               {16384, 16384},
                               {131072, 131072},
                               {262144, 262144},
                               {524288, 524288},
                               {1048576, 1048576},
                               {2097152, 2097152},
                               {4194304, 4194304},
                               {8388608, 8388608}}};

constexpr Bands hpc_write_bands() {
    Bands bands = kHpcReadBands;
    bands[13] = {2359296, 2359296};
    return bands;
}

constexpr Percents kMetadataRead{3, 1, 2, 1, 16, 6, 36, 7, 7, 2, 9, 4, 3, 2, 1, 0};
constexpr Percents kMetadataWrite{13, 3, 7, 5, 11, 3, 30, 7, 5, 1, 6, 4, 2, 2, 1, 0};
constexpr Percents kBackupRead{3, 1, 2, 1, 6, 6, 16, 7, 37, 2, 9, 4, 3, 2, 1, 0};
constexpr Percents kBackupWrite{13, 3, 7, 5, 11, 3, 0, 7, 35, 1, 6, 4, 2, 2, 1, 0};
constexpr Percents kHpcXfer{0, 0, 0, 0, 0, 0, 0, 0, 0, 14, 14, 14, 14, 14, 15, 15};

struct WorkloadValues {
    const char* name;
    std::array<std::int32_t, kOpMixEntries> op_mix;
    Bands read_bands;
    Percents read_percents;
    Bands write_bands;
    Percents write_percents;
    std::array<std::int32_t, 5> trailing;  // write commit, direct, align, osync, geometric
    std::int32_t trailer_number;
};

constexpr void copy_text(char* field, const char* text) {
    for (; *text != '\0'; ++text, ++field) *field = *text;
}

constexpr void fill_bands(XferElement* elements, const Bands& bands, const Percents& percents) {
    for (int j = 0; j < kXferElements; ++j) elements[j] = {bands[j][0], bands[j][1], percents[j]};
}

constexpr WorkloadDescription make_workload(const WorkloadValues& values) {
    WorkloadDescription workload{};
    copy_text(workload.workload_name, values.name);
    for (int k = 0; k < kOpMixEntries; ++k) {
        workload.op_mix[k].percent = values.op_mix[k];
        copy_text(workload.op_mix[k].op_name, kOpNames[k]);
    }
    fill_bands(workload.read_xfer, values.read_bands, values.read_percents);
    fill_bands(workload.write_xfer, values.write_bands, values.write_percents);
    workload.percent_write_commit = values.trailing[0];
    workload.percent_direct = values.trailing[1];
    workload.align = values.trailing[2];
    workload.percent_osync = values.trailing[3];
    workload.percent_geometric = values.trailing[4];
    workload.trailer_number = values.trailer_number;
    copy_text(workload.trailer_text, "POSIX");
    return workload;
}

// Operation mix by op_mix index:  0 Read .. 23 Custom2.
constexpr WorkloadSet make_builtin_set() {
    return WorkloadSet{{
        make_workload({"METADATA",
                       {10, 10, 0, 8, 7, 10, 0, 2, 1, 2, 4, 1, 3, 5, 14, 14, 2, 4, 0, 2, 1, 0, 0, 0},
                       kCommonBands, kMetadataRead, kCommonBands, kMetadataWrite,
                       {33, 0, 0, 0, 10}, 0}),
        make_workload({"BACKUP",
                       {9, 0, 0, 9, 7, 0, 0, 2, 1, 2, 3, 1, 3, 6, 24, 26, 2, 4, 0, 0, 1, 0, 0, 0},
                       kCommonBands, kBackupRead, kCommonBands, kBackupWrite,
                       {33, 0, 0, 0, 0}, 30}),
        make_workload({"HOMEDIR",
                       {8, 0, 0, 10, 7, 0, 0, 2, 1, 2, 3, 1, 3, 6, 18, 20, 3, 5, 10, 0, 1, 0, 0, 0},
                       kCommonBands, kMetadataRead, kCommonBands, kMetadataWrite,
                       {33, 0, 0, 0, 10}, 30}),
        make_workload({"HPC",
                       {41, 0, 0, 6, 28, 0, 0, 2, 1, 2, 1, 1, 3, 0, 2, 6, 2, 4, 0, 0, 1, 0, 0, 0},
                       kHpcReadBands, kHpcXfer, hpc_write_bands(), kHpcXfer,
                       {0, 0, 0, 0, 0}, 0}),
    }};
}

}  // namespace

constinit const WorkloadSet kBuiltinWorkloadSet = make_builtin_set();

}  // namespace gorv::tools
