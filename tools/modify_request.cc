#include "tools/modify_request.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "common/constants.h"
#include "tools/client_records.h"
#include "tools/workload_export.h"

namespace gorv::tools {

void print_modify_usage() {
    std::puts("\t-H............  Help screen");
    std::puts("\t-r #..........  Client ID");
    std::puts("\t-o #..........  Set Op_rate");
    std::puts("\t-E ...........  Export workload description");
    std::puts("\t-w filename ..  Import workload description");
    std::putchar('\n');
}

std::optional<int> parse_modify_options(int argc, char** argv, ModifyRequest& request) {
    optind = 0;  // a full rescan, so that tests may parse several command lines
    for (int option; (option = getopt(argc, argv, "Hvr:o:w:E ")) != -1;) {
        switch (option) {
            case 'H':
                print_modify_usage();
                return kExitOk;
            case 'v':
                std::printf("Version %s\n", kModifyVersion);
                return kExitOk;
            case 'E':
                export_workload_set(kBuiltinWorkloadSet, stdout);
                return kExitOk;
            case 'r':
                request.client_id = std::strtol(optarg, nullptr, 10);
                break;
            case 'o':
                // A rate that does not convert leaves the earlier one.
                std::sscanf(optarg, "%lf", &request.rate);
                request.rate_update = true;
                break;
            case 'w':
                request.workload_update = true;
                break;
            default:  // the blank, or an option getopt has already complained about
                break;
        }
    }
    return std::nullopt;
}

std::int32_t bytes_written(const ModifyRequest& request) {
    return request.workload_update ? kControlRecordSize : kControlHeaderSize;
}

Placement place_request(const ModifyRequest& request, const AreaEntry& mo) {
    if (request.client_id < 0 || request.client_id >= mo.number_of_segs) return Placement::kNoSuchClient;
    const std::int64_t bytes = bytes_written(request);
    if (bytes > mo.seg_size) return Placement::kPastSegment;
    if (request.client_id * std::int64_t{mo.seg_size} + bytes > mo.size) return Placement::kPastArea;
    return Placement::kFits;
}

}  // namespace gorv::tools
