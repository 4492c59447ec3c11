// gorv_master start-up: read the command line and the client list, create
// or attach both areas and zero them, publish them in the registry file,
// then split into the sender and the receiver spawner.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "common/daemon_lock.h"
#include "common/registry.h"
#include "common/segment_area.h"
#include "master/master.h"

namespace gorv::master {
namespace {

// The master's process-wide state; each forked process has its own copy.
Master the_master;

std::byte* acquire(key_t key, const Master& master, const char* failure_line, bool& removal_failed) {
    return acquire_or_exit(key, master.area_size, master.settings.release, kMasterAreaOwner, failure_line,
                           &removal_failed);
}

// Both areas are zeroed on every start, release runs included.
void acquire_areas(Master& master) {
    const bool announce = kMasterLogLevel >= 1 && !master.settings.release;
    master.area_size = master.number_of_segs * master.settings.seg_size;

    master.mo_area = acquire(kMasterMoKey, master, "Unable to attach to MO segment", master.mo_removal_failed);
    if (announce)
        std::printf("Master allocated/attached %d bytes of (MO) gorv. Key = %lx\n", master.area_size,
                    static_cast<unsigned long>(kMasterMoKey));
    std::memset(master.mo_area, 0, static_cast<size_t>(master.area_size));

    master.ro_area = acquire(kMasterRoKey, master, "Unable to attach to RO segment", master.ro_removal_failed);
    if (announce)
        std::printf("Remote allocated/attached %d bytes of (RO) gorv. Key = %lx\n", master.area_size,
                    static_cast<unsigned long>(kMasterRoKey));
    std::memset(master.ro_area, 0, static_cast<size_t>(master.area_size));
}

void remove_link_state() {
    if (unlink(kMasterLinksPath) < 0 && errno != ENOENT) std::perror(kMasterLinksPath);
}

// A -k start takes the areas for itself; any other run goes on, and a
// plain start forgets the link state of a service-mode master that is gone.
void claim_areas(const MasterSettings& settings) {
    if (settings.service && !settings.release) {
        hold_daemon_lock_or_exit("Master", "master", kMasterLockName);
        return;
    }
    // Only a file that is there is removed: a plain start says nothing new otherwise.
    struct stat status {};
    if (!warn_of_daemon_lock("Master", "master", kMasterLockName) && !settings.release &&
        lstat(kMasterLinksPath, &status) == 0)
        remove_link_state();
}

[[noreturn]] void finish_master_release_run(const Master& master) {
    const ReleasedArea areas[] = {
        {"Master released %d bytes of (MO) gorv. Key = %lx\n", master.area_size, kMasterMoKey,
         master.mo_removal_failed},
        {"Remote released %d bytes of (RO) gorv. Key = %lx\n", master.area_size, kMasterRoKey,
         master.ro_removal_failed}};
    remove_link_state();
    finish_release_run(areas, kMasterRegistryPath);
}

void publish_registry(const Master& master) {
    const std::int32_t segs = master.number_of_segs;
    const std::int32_t seg_size = master.settings.seg_size;
    const MasterRegistry registry{{kMasterMoKey, master.area_size, segs, seg_size},
                                  {kMasterRoKey, master.area_size, segs, seg_size}};
    if (!write_master_registry(kMasterRegistryPath, registry)) std::perror(kMasterRegistryPath);
}

int start(int argc, char** argv, Master& master) {
    if (argc == 1) {
        print_master_usage();
        return kExitOk;
    }
    if (const auto status = parse_master_options(argc, argv, getpagesize(), master.settings)) return *status;
    if (!master.settings.list_given) {
        print_master_usage();
        return kExitFailure;
    }
    if (const auto status = load_daemon_key(kMasterNames, master.settings, master.link_key, master.keyed))
        return *status;
    const ClientListResult list = read_client_list(master.settings.list_path, master.clients);
    if (!list.ok) return list.exit_status;
    master.number_of_segs = master.clients.row_count;

    const std::int32_t seg_size = master.settings.seg_size;
    if (static_cast<std::int64_t>(master.number_of_segs) * seg_size > INT32_MAX) {
        std::printf("Master: %d segments of %d bytes do not fit in one area\n", master.number_of_segs, seg_size);
        return kExitFailure;
    }
    try {
        master.decode_buffer.resize(static_cast<size_t>(seg_size));
        master.message_buffer.resize(static_cast<size_t>(seg_size) + 4);
    } catch (const std::bad_alloc&) {
        std::printf("Master: cannot allocate buffers for a segment size of %d bytes\n", seg_size);
        return kExitFailure;
    }

    claim_areas(master.settings);
    if (master.number_of_segs != 0 && seg_size != 0) acquire_areas(master);
    if (master.settings.release) finish_master_release_run(master);
    publish_registry(master);

    if (master.settings.service) run_service(master);
    std::fflush(stdout);  // a child must not inherit lines still buffered
    const pid_t child = fork();
    if (child < 0) {
        std::perror("fork");
        return kExitFailure;
    }
    if (child > 0) run_sender(master);
    run_receiver_spawner(master);
    wait(nullptr);
    return kExitOk;
}

}  // namespace
}  // namespace gorv::master

int main(int argc, char** argv) { return gorv::master::start(argc, argv, gorv::master::the_master); }
