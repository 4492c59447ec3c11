// ostrela_modify: writes a requested op rate and a workload set (the
// built-in one, or one from a JSON file) into one client's ControlRecord in
// the master's MO area, or prints the built-in set. One pass: options, registry, attach, write, end.
#include <cstdio>

#include "common/constants.h"
#include "common/registry.h"
#include "tools/master_area.h"
#include "tools/modify_request.h"

namespace gorv::tools {
namespace {

int modify(int argc, char** argv) {
    if (argc == 1) {
        print_modify_usage();
        return kExitOk;
    }
    ModifyRequest request;
    if (const auto status = parse_modify_options(argc, argv, request)) return *status;
    if (request.workload_file != nullptr) {
        if (const auto refusal = load_workload_file(request)) {
            std::printf("%s\n", refusal->c_str());
            return kExitFailure;
        }
    }

    const MasterArea area = open_master_area(MasterAreaKind::kMo, "%d Active clients\n");
    if (area.address == nullptr) {
        std::puts("Get_master_master_zone failed");
        return kExitFailure;
    }
    const Placement placement = apply_modify_request(area.address, area.entry, request);
    if (placement != Placement::kFits) {
        std::printf("%s\n", refusal_text(placement, request, area.entry).c_str());
        return kExitFailure;
    }
    std::fputs(setting_text(request).c_str(), stdout);
    return kExitOk;
}

}  // namespace
}  // namespace gorv::tools

int main(int argc, char** argv) { return gorv::tools::modify(argc, argv); }
