// The master in service mode: the sender links every row at once and heals
// its links; each row's receiver keeps listening for its whole life and
// reports its links to the sender, which keeps the link state file.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/big_endian.h"
#include "common/daemon_life.h"
#include "common/replace_file.h"
#include "master/master.h"

namespace gorv::master {
namespace {

// What a receiver tells the sender: the row and whether its link is up.
struct LinkReport {
    std::int32_t row;
    std::int32_t up;
};

// The process's master and, in a receiver, its row.
struct ServiceContext {
    Master* master;
    std::int32_t row;
};
ServiceContext context;

Master& master_of(void* opaque) { return *static_cast<ServiceContext*>(opaque)->master; }

void write_link_state(Master& master) {
    const std::span<const RowLinks> rows(master.service.links.data(), static_cast<std::size_t>(master.number_of_segs));
    if (replace_file(kMasterLinksPath, link_state_text(rows, master.clients))) {
        master.service.file_failures.reset();
        return;
    }
    char reason[96];
    std::snprintf(reason, sizeof reason, "%s: %s", kMasterLinksPath, std::strerror(errno));
    if (master.service.file_failures.fresh(reason)) std::fprintf(stderr, "%s\n", reason);
}

// False for a row the master does not have.
bool note(Master& master, std::int32_t row, bool to_remote, bool up) {
    if (row < 0 || row >= master.number_of_segs) return false;
    note_link(master.service.links[static_cast<std::size_t>(row)], to_remote, up, std::time(nullptr));
    return true;
}

// --- the receivers ---

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
            log_link_event({"Master row", here.row, "from_remote"}, event, "a row takes updates from its own remote only");
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

[[noreturn]] void receive_row(Master& master, std::int32_t row) {
    context.row = row;
    const std::int32_t seg_size = master.settings.seg_size;
    const auto id = static_cast<std::int32_t>(row);
    ServiceReceiver receiver{kMasterLinkParams,
                             {"Master row", row, "from_remote"},
                             master.clients.rows[row],
                             make_greeting(LinkRole::kMaster, id, seg_size),
                             make_greeting(LinkRole::kRemote, id, seg_size),
                             master.message_buffer,
                             &context,
                             store,
                             report_received_link,
                             master.keyed};
    receiver.link.ipv6 = master.settings.ipv6;
    receiver.link.id = row;
    run_service_receiver(receiver);
}

[[noreturn]] void run_spawner(Master& master) {
    close(master.service.report_read);
    for (std::int32_t row = 0; row < master.number_of_segs; ++row) {
        const pid_t child = fork_member();
        if (child == 0) receive_row(master, row);
        if (child < 0) {
            std::perror("fork");
            end_family(kExitFailure);
        }
    }
    while (family_intact()) sleep_ms(kRelinkPauseMs);
    end_family(family_end_status());
}

// --- the sender ---

bool changed(void* opaque, int row) { return mo_segment_changed(master_of(opaque), row); }

std::span<const std::byte> segment(void* opaque, int row) {
    const Master& master = master_of(opaque);
    return segment_of(master.mo_area, master.settings.seg_size, row);
}

const char* host_of(void* opaque, int row) { return master_of(opaque).clients.rows[row]; }

void report_sent_link(void* opaque, int row, bool up) {
    Master& master = master_of(opaque);
    if (note(master, row, true, up)) write_link_state(master);
}

// Every report waiting is taken before the file is written once: at a
// start, the receivers of all rows report within moments of each other.
void take_reports(void* opaque) {
    Master& master = master_of(opaque);
    LinkReport report{};
    bool noted = false;
    while (read(master.service.report_read, &report, sizeof report) == static_cast<ssize_t>(sizeof report))
        noted = note(master, report.row, false, report.up != 0) || noted;
    if (noted) write_link_state(master);
}

[[noreturn]] void send_rows(Master& master) {
    close(master.service.report_write);
    const std::int32_t seg_size = master.settings.seg_size;
    ServiceSenderSetup setup{kMasterLinkParams,
                             "Master row",
                             "to_remote",
                             master.number_of_segs,
                             0,
                             host_of,
                             make_greeting(LinkRole::kMaster, 0, seg_size),
                             make_greeting(LinkRole::kRemote, 0, seg_size),
                             {&context, changed, segment, report_sent_link, master.service.report_read, take_reports},
                             master.keyed};
    setup.link.ipv6 = master.settings.ipv6;
    const std::int64_t start = std::time(nullptr);
    for (std::int32_t row = 0; row < master.number_of_segs; ++row) master.service.links[row].since = start;
    write_link_state(master);
    run_service_sender(setup);
}

}  // namespace

void run_service(Master& master) {
    context.master = &master;
    start_family();
    int report[2];
    if (pipe2(report, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("pipe");
        std::exit(kExitFailure);
    }
    master.service.report_read = report[0];
    master.service.report_write = report[1];
    const pid_t spawner = fork_member();
    if (spawner < 0) {
        std::perror("fork");
        std::exit(kExitFailure);
    }
    if (spawner == 0) run_spawner(master);
    send_rows(master);
}

}  // namespace gorv::master
