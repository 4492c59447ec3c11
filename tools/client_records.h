// What the bytes of a client's segments mean to the operator tools and the
// client program. The daemons move segments as opaque words; only these
// programs look inside, and both sides are built against this one layout.
// There is no version, magic word or length field.
//
// MO segment of a client:  ControlRecord, 6032 bytes
//   0  op_rate            double   requested operations per second
//   8  op_rate_changed    int32    1 when a new op_rate was written
//  12  workload_changed   int32    1 when a new WorkloadSet was written
//  16  workloads          WorkloadSet (4 x 1504 bytes)
// RO segment of a client:  StatusRecord, 44 bytes
//   0 req_op_rate, 8 cur_op_rate, 16 run_time, 24 rt, 32 wt (doubles), 40 phase (int32)
//
// Integers are signed 32-bit and doubles binary64, in the writer's byte
// order; texts are NUL-filled fixed fields. Segments need not be aligned for
// these types: read and write them with memcpy, never through a cast pointer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace gorv::tools {

inline constexpr int kOpMixEntries = 24;
inline constexpr int kXferElements = 16;
inline constexpr int kWorkloadCount = 4;

struct OpMixEntry {
    std::int32_t percent;
    char op_name[36];
};

// A band of transfer sizes in bytes and its share of the reads or writes.
struct XferElement {
    std::int32_t min_size;
    std::int32_t max_size;
    std::int32_t percent;
};

struct WorkloadDescription {
    char workload_name[100];
    OpMixEntry op_mix[kOpMixEntries];
    XferElement read_xfer[kXferElements];
    XferElement write_xfer[kXferElements];
    std::int32_t percent_write_commit;
    std::int32_t percent_direct;
    std::int32_t align;
    std::int32_t percent_osync;
    std::int32_t percent_geometric;
    // The last 40 bytes travel with the record; no tool reads them.
    std::int32_t trailer_number;
    char trailer_gap[16];
    char trailer_text[20];
};

struct WorkloadSet {
    WorkloadDescription workloads[kWorkloadCount];
};

struct ControlRecord {
    double op_rate;
    std::int32_t op_rate_changed;
    std::int32_t workload_changed;
    WorkloadSet workloads;
};

// Packed to 4 so that the struct is exactly the 44 bytes of the record.
#pragma pack(push, 4)
struct StatusRecord {
    double req_op_rate = 0.0;
    double cur_op_rate = 0.0;
    double run_time = 0.0;
    double rt = 0.0;
    double wt = 0.0;
    std::int32_t phase = 0;
};
#pragma pack(pop)

static_assert(sizeof(OpMixEntry) == 40);
static_assert(offsetof(OpMixEntry, percent) == 0);
static_assert(offsetof(OpMixEntry, op_name) == 4);

static_assert(sizeof(XferElement) == 12);
static_assert(offsetof(XferElement, min_size) == 0);
static_assert(offsetof(XferElement, max_size) == 4);
static_assert(offsetof(XferElement, percent) == 8);

static_assert(sizeof(WorkloadDescription) == 1504);
static_assert(offsetof(WorkloadDescription, workload_name) == 0);
static_assert(offsetof(WorkloadDescription, op_mix) == 100);
static_assert(offsetof(WorkloadDescription, read_xfer) == 1060);
static_assert(offsetof(WorkloadDescription, write_xfer) == 1252);
static_assert(offsetof(WorkloadDescription, percent_write_commit) == 1444);
static_assert(offsetof(WorkloadDescription, percent_direct) == 1448);
static_assert(offsetof(WorkloadDescription, align) == 1452);
static_assert(offsetof(WorkloadDescription, percent_osync) == 1456);
static_assert(offsetof(WorkloadDescription, percent_geometric) == 1460);
static_assert(offsetof(WorkloadDescription, trailer_number) == 1464);
static_assert(offsetof(WorkloadDescription, trailer_gap) == 1468);
static_assert(offsetof(WorkloadDescription, trailer_text) == 1484);

static_assert(sizeof(WorkloadSet) == 6016);

static_assert(sizeof(ControlRecord) == 6032);
static_assert(offsetof(ControlRecord, op_rate) == 0);
static_assert(offsetof(ControlRecord, op_rate_changed) == 8);
static_assert(offsetof(ControlRecord, workload_changed) == 12);
static_assert(offsetof(ControlRecord, workloads) == 16);

static_assert(sizeof(StatusRecord) == 44);
static_assert(offsetof(StatusRecord, req_op_rate) == 0);
static_assert(offsetof(StatusRecord, cur_op_rate) == 8);
static_assert(offsetof(StatusRecord, run_time) == 16);
static_assert(offsetof(StatusRecord, rt) == 24);
static_assert(offsetof(StatusRecord, wt) == 32);
static_assert(offsetof(StatusRecord, phase) == 40);

// op_rate and both flags: what a rate update touches.
inline constexpr std::int32_t kControlHeaderSize = offsetof(ControlRecord, workloads);
inline constexpr std::int32_t kControlRecordSize = sizeof(ControlRecord);
inline constexpr std::int32_t kStatusRecordSize = sizeof(StatusRecord);

// Phase codes a client reports in StatusRecord::phase.
enum Phase : std::int32_t {
    kPhaseInit = 1,
    kPhaseWarm = 2,
    kPhaseRun = 3,
    kPhasePreWarm = 4,
    kPhaseCleanup = 5,
};

// The text shown for a phase code ("RUN " and "CLEANUP " end in a blank);
// nullptr for 0, negative codes and codes above 5.
const char* phase_text(std::int32_t phase);

// Operation names in op_mix order: entry k has the same name in every workload.
inline constexpr const char* kOpNames[kOpMixEntries] = {
    "Read",   "Read_file", "Mmap_read", "Random_read", "Write",  "Write_file", "Mmap_write", "Random_write",
    "Read_modify_write", "Mkdir", "Unlink", "Create",  "Append", "Lock",       "Access",     "Stat",
    "Chmod",  "Readdir",   "Copyfile",  "Rename",      "Statfs", "Pathconf",   "Custom1",    "Custom2"};

// The workload set that ostrela_modify writes and exports: METADATA,
// BACKUP, HOMEDIR, HPC. Never changed.
extern const WorkloadSet kBuiltinWorkloadSet;

}  // namespace gorv::tools
