#include "tools/modify_request.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/constants.h"
#include "tools/client_records.h"
#include "tools/workload_export.h"
#include "tools/workload_json.h"

namespace gorv::tools {

void print_modify_usage() {
    std::puts("\t-H............  Help screen");
    std::puts("\t-r #..........  Client ID");
    std::puts("\t-o #..........  Set Op_rate");
    std::puts("\t-E ...........  Export workload description");
    std::puts("\t-w filename ..  Import workload description");
    std::putchar('\n');
    // Standard output keeps the usage text it always had, byte for byte.
    std::fputs("\t-W file.json .  Write the workload set in a JSON file\n"
               "\t-J ...........  Export workload description as JSON\n",
               stderr);
}

std::optional<int> parse_modify_options(int argc, char** argv, ModifyRequest& request) {
    optind = 0;  // a full rescan, so that tests may parse several command lines
    bool builtin_asked = false;
    for (int option; (option = getopt(argc, argv, "Hvr:o:w:E W:J")) != -1;) {
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
                builtin_asked = true;
                break;
            case 'W':
                request.workload_update = true;
                request.workload_file = optarg;
                break;
            case 'J':
                std::fputs(workload_set_text(kBuiltinWorkloadSet).c_str(), stdout);
                return kExitOk;
            default:  // the blank, or an option getopt has already complained about
                break;
        }
    }
    if (builtin_asked && request.workload_file != nullptr) {
        std::puts("-w and -W refused together: give one workload set");
        return kExitFailure;
    }
    return std::nullopt;
}

std::optional<std::string> load_workload_file(ModifyRequest& request) {
    const std::string name = request.workload_file;
    std::FILE* file = std::fopen(name.c_str(), "r");
    if (file == nullptr) return "Workload file " + name + " cannot be read: " + std::strerror(errno);
    std::string text;
    char chunk[4096];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0 && text.size() <= kMaxWorkloadFileBytes)
        text.append(chunk, got);
    const bool failed = std::ferror(file) != 0;
    const int error = errno;
    std::fclose(file);
    if (failed) return "Workload file " + name + " cannot be read: " + std::strerror(error);
    if (text.size() > kMaxWorkloadFileBytes)
        return "Workload file " + name + " refused: larger than " + std::to_string(kMaxWorkloadFileBytes) + " bytes";
    WorkloadSet set;
    if (auto refusal = workload_set_from_text(text, set)) return "Workload file " + name + " refused: " + *refusal;
    request.workload_set = set;
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

namespace {

// Another process reads the segment while it is written: the fences keep the
// stores in the order the client program relies on.
template <typename T>
void store_field(std::byte* record, std::size_t offset, const T& value) {
    std::atomic_thread_fence(std::memory_order_release);
    std::memcpy(record + offset, &value, sizeof value);
}

}  // namespace

Placement apply_modify_request(std::byte* area, const AreaEntry& mo, const ModifyRequest& request) {
    const Placement placement = place_request(request, mo);
    if (placement != Placement::kFits) return placement;
    std::byte* record = area + request.client_id * mo.seg_size;
    if (request.rate_update) {
        store_field(record, offsetof(ControlRecord, op_rate), request.rate);
        store_field(record, offsetof(ControlRecord, op_rate_changed), std::int32_t{1});
    }
    store_field(record, offsetof(ControlRecord, workload_changed), std::int32_t{0});
    if (request.workload_update) {
        store_field(record, offsetof(ControlRecord, workload_changed), std::int32_t{1});
        store_field(record, offsetof(ControlRecord, workloads), request.workload_set.value_or(kBuiltinWorkloadSet));
    }
    return placement;
}

std::string refusal_text(Placement placement, const ModifyRequest& request, const AreaEntry& mo) {
    char line[160] = {};
    switch (placement) {
        case Placement::kNoSuchClient:
            std::snprintf(line, sizeof line, "Client %ld refused: the master has %d clients", request.client_id,
                          mo.number_of_segs);
            break;
        case Placement::kPastSegment:
            std::snprintf(line, sizeof line, "Client %ld refused: %d bytes do not fit in a segment of %d bytes",
                          request.client_id, bytes_written(request), mo.seg_size);
            break;
        case Placement::kPastArea:
            std::snprintf(line, sizeof line, "Client %ld refused: its record would end past the %d bytes of the MO area",
                          request.client_id, mo.size);
            break;
        case Placement::kFits:
            break;
    }
    return line;
}

std::string setting_text(const ModifyRequest& request) {
    const auto client = static_cast<int>(request.client_id);
    std::string text;
    char line[400];
    if (request.rate_update) {
        // %lf of a huge rate runs to some 310 digits.
        std::snprintf(line, sizeof line, "Setting op_rate for client %d to %lf\n", client, request.rate);
        text += line;
    }
    if (request.workload_update) {
        std::snprintf(line, sizeof line, "Setting workload parameters for client %d\n", client);
        text += line;
    }
    return text;
}

}  // namespace gorv::tools
