#include "tools/workload_export.h"

namespace gorv::tools {
namespace {

constexpr int kNameField = sizeof(WorkloadDescription::workload_name);
constexpr int kOpNameField = sizeof(OpMixEntry::op_name);
constexpr int kExportedOpOrder[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 12, 13, 14, 15, 16, 17, 18, 19, 21, 20, 22, 23};

void export_bands(const char* label, const XferElement* bands, std::FILE* out) {
    for (int j = 0; j < kXferElements; ++j) {
        std::fprintf(out, "%s elem %d xfer min size %d\n", label, j, bands[j].min_size);
        std::fprintf(out, "%s elem %d xfer max size %d\n", label, j, bands[j].max_size);
        std::fprintf(out, "%s elem %d xfer percent %d\n", label, j, bands[j].percent);
    }
}

}  // namespace

void export_workload_set(const WorkloadSet& set, std::FILE* out) {
    for (const WorkloadDescription& workload : set.workloads) {
        // Precision bounds every text by its field, NUL or not.
        std::fprintf(out, "Workload name %.*s\n", kNameField, workload.workload_name);
        for (const int k : kExportedOpOrder)
            std::fprintf(out, "Percent %.*s %d\n", kOpNameField, workload.op_mix[k].op_name,
                         workload.op_mix[k].percent);
        export_bands("Read", workload.read_xfer, out);
        export_bands("Write", workload.write_xfer, out);
        std::fprintf(out, "Percent write commit %d\n", workload.percent_write_commit);
        std::fprintf(out, "Percent direct %d\n", workload.percent_direct);
        std::fprintf(out, "Align %d\n", workload.align);
        std::fprintf(out, "Percent osync %d\n", workload.percent_osync);
        std::fprintf(out, "Percent geometric %d\n", workload.percent_geometric);
    }
}

}  // namespace gorv::tools
