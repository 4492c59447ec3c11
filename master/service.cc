// The master in service mode: the sender links every row at once and heals
// its links; each row's receiver keeps listening for its whole life and
// reports its links to the sender, which keeps the link state file.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "common/daemon_life.h"
#include "master/service.h"

namespace gorv::master {

ServiceContext service_context;


void run_service(Master& master) {
    service_context.master = &master;
    start_family();
    int report[2];
    if (pipe2(report, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("pipe");
        std::exit(kExitFailure);
    }
    master.service.report_read = report[0];
    master.service.report_write = report[1];
    if (!open_host_lookups(master.number_of_segs, master.service.lookups)) {
        std::perror("look-ups");
        std::exit(kExitFailure);
    }
    const pid_t spawner = fork_member();
    if (spawner < 0) {
        std::perror("fork");
        std::exit(kExitFailure);
    }
    if (spawner == 0) spawn_service_receivers(master);
    send_service_rows(master);
}

}  // namespace gorv::master
