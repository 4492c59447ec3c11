#include "dashboard/master_link.h"

#include <sys/shm.h>

#include "common/constants.h"
#include "tools/master_area.h"
#include "tools/status_lines.h"

namespace gorv::dashboard {

RegistryIdentity registry_identity(const char* path) {
    struct stat status {};
    if (stat(path, &status) != 0) return {};
    return {.present = true,
            .inode = status.st_ino,
            .size = status.st_size,
            .modified_ns = status.st_mtim.tv_sec * std::int64_t{1000000000} + status.st_mtim.tv_nsec};
}

bool attach_master_areas(MasterAreas& areas, const RegistryIdentity& identity, bool with_mo) {
    const bool again = areas.ro != nullptr;
    for (std::byte* address : {areas.ro, areas.mo})
        if (address != nullptr) shmdt(address);
    areas = MasterAreas{};
    areas.identity = identity;
    if (!identity.present) {
        areas.text = "The master is not running: no " + std::string(kMasterRegistryPath) + " yet.";
        return false;
    }
    const tools::MasterArea ro = tools::open_master_area(tools::MasterAreaKind::kRo, "Dashboard: the master has %d clients\n");
    if (ro.address == nullptr) {
        areas.text = "The master's RO area named by " + std::string(kMasterRegistryPath) +
                     " cannot be attached: waiting for the master to start again.";
        return false;
    }
    if (tools::check_status_area(ro.entry) != tools::AreaFit::kFits) {
        shmdt(ro.address);
        areas.text = "The master's registry names an RO area too small for its clients.";
        return false;
    }
    areas.ro = ro.address;
    areas.ro_entry = ro.entry;
    if (with_mo) {
        const tools::MasterArea mo =
            tools::open_master_area(tools::MasterAreaKind::kMo, "Dashboard: the master steers %d clients\n");
        areas.mo = mo.address;
        areas.mo_entry = mo.entry;
    }
    areas.text = std::string(again ? "The master started again; attached to its new areas: "
                                   : "Attached to the master's areas: ") +
                 std::to_string(ro.entry.number_of_segs) + " clients.";
    if (with_mo && areas.mo == nullptr) areas.text += " Its MO area cannot be attached: no control.";
    return true;
}

std::string master_ended_text(std::int32_t pid) {
    return "The master is not running: its process " + std::to_string(pid) + ", named by " + kMasterLinksPath +
           ", has ended; every link is down.";
}

}  // namespace gorv::dashboard
