// ostrela_modify: writes a requested op rate and the built-in workload set
// into one client's ControlRecord in the master's MO area, or prints the
// workload set. One pass: options, registry, attach, write, end.
#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "common/constants.h"
#include "common/registry.h"
#include "tools/client_records.h"
#include "tools/master_area.h"
#include "tools/modify_request.h"

namespace gorv::tools {
namespace {

void print_refusal(Placement placement, const ModifyRequest& request, const AreaEntry& mo) {
    switch (placement) {
        case Placement::kNoSuchClient:
            std::printf("Client %ld refused: the master has %d clients\n", request.client_id, mo.number_of_segs);
            break;
        case Placement::kPastSegment:
            std::printf("Client %ld refused: %d bytes do not fit in a segment of %d bytes\n", request.client_id,
                        bytes_written(request), mo.seg_size);
            break;
        case Placement::kPastArea:
            std::printf("Client %ld refused: its record would end past the %d bytes of the MO area\n",
                        request.client_id, mo.size);
            break;
        case Placement::kFits:
            break;
    }
}

// Another process reads the segment while it is written: the fences keep the
// stores in the order the client program relies on.
template <typename T>
void store_field(std::byte* record, std::size_t offset, const T& value) {
    std::atomic_thread_fence(std::memory_order_release);
    std::memcpy(record + offset, &value, sizeof value);
}

void write_control_record(std::byte* record, const ModifyRequest& request) {
    const auto client = static_cast<int>(request.client_id);
    if (request.rate_update) {
        store_field(record, offsetof(ControlRecord, op_rate), request.rate);
        store_field(record, offsetof(ControlRecord, op_rate_changed), std::int32_t{1});
        std::printf("Setting op_rate for client %d to %lf\n", client, request.rate);
    }
    store_field(record, offsetof(ControlRecord, workload_changed), std::int32_t{0});
    if (request.workload_update) {
        std::printf("Setting workload parameters for client %d\n", client);
        store_field(record, offsetof(ControlRecord, workload_changed), std::int32_t{1});
        store_field(record, offsetof(ControlRecord, workloads), kBuiltinWorkloadSet);
    }
}

int modify(int argc, char** argv) {
    if (argc == 1) {
        print_modify_usage();
        return kExitOk;
    }
    ModifyRequest request;
    if (const auto status = parse_modify_options(argc, argv, request)) return *status;

    const MasterArea area = open_master_area(MasterAreaKind::kMo, "%d Active clients\n");
    if (area.address == nullptr) {
        std::puts("Get_master_master_zone failed");
        return kExitFailure;
    }
    const Placement placement = place_request(request, area.entry);
    if (placement != Placement::kFits) {
        print_refusal(placement, request, area.entry);
        return kExitFailure;
    }
    write_control_record(area.address + request.client_id * area.entry.seg_size, request);
    return kExitOk;
}

}  // namespace
}  // namespace gorv::tools

int main(int argc, char** argv) { return gorv::tools::modify(argc, argv); }
