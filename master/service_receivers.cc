// The master's receivers in service mode: one process per row, each
// listening on its own port for its whole life, storing what the row's own
// remote sends and reporting its links to the sender.
#include <unistd.h>

#include <cstdio>

#include "common/big_endian.h"
#include "common/daemon_life.h"
#include "master/service.h"

namespace gorv::master {
namespace {

// A receiver's: a row's remote writing another row is said once a link.
RepeatFilter cross_row_updates;

// A row is written by its own remote only; the link stays.
void store(void* opaque) {
    const ServiceContext& here = *static_cast<ServiceContext*>(opaque);
    const auto dest_who = static_cast<std::int32_t>(load_n32(here.master->message_buffer.data()));
    if (dest_who != here.row) {
        char event[64];
        std::snprintf(event, sizeof event, "dropped an update for row %d", dest_who);
        if (cross_row_updates.fresh(event))
            log_link_event({"Master row", here.row, "from_remote"}, event,
                           "a row takes updates from its own remote only");
        return;
    }
    store_received_update(*here.master, here.row);
}

// A full pipe loses the report rather than hold up the receiver.
void report_received_link(void* opaque, bool up) {
    const ServiceContext& here = *static_cast<ServiceContext*>(opaque);
    if (up) cross_row_updates.reset();
    const LinkReport report{here.row, up ? 1 : 0};
    if (write(here.master->service.report_write, &report, sizeof report) != static_cast<ssize_t>(sizeof report))
        std::perror("link report");
}

const char* host_name_of(void* opaque, int row) { return static_cast<Master*>(opaque)->clients.rows[row]; }

[[noreturn]] void receive_row(Master& master, std::int32_t row) {
    service_context.row = row;
    const std::int32_t seg_size = master.settings.seg_size;
    const auto id = static_cast<std::int32_t>(row);
    ServiceReceiver receiver{.link = kMasterLinkParams,
                             .name = {"Master row", row, "from_remote"},
                             .peer_host = master.clients.rows[row],
                             .lookups = &master.service.lookups,
                             .name_index = row,
                             .own = make_greeting(LinkRole::kMaster, id, seg_size),
                             .expected = make_greeting(LinkRole::kRemote, id, seg_size),
                             .message = master.message_buffer,
                             .context = &service_context,
                             .store = store,
                             .report = report_received_link,
                             .key = master.keyed};
    receiver.link.ipv6 = master.settings.ipv6;
    receiver.link.id = row;
    run_service_receiver(receiver);
}

}  // namespace

void spawn_service_receivers(Master& master) {
    close(master.service.report_read);
    for (std::int32_t row = 0; row < master.number_of_segs; ++row) {
        const pid_t child = fork_member();
        if (child == 0) receive_row(master, row);
        if (child < 0) {
            std::perror("fork");
            end_family(kExitFailure);
        }
    }
    // Idle otherwise, the spawner runs every look-up of the daemon.
    serve_host_lookups(master.settings.ipv6, host_name_of, &master, master.service.lookups);
}

}  // namespace gorv::master
