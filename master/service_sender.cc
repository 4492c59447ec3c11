// The master's sender in service mode: one process over every row's link,
// which also takes the receivers' link reports and keeps the link state
// file.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/daemon_life.h"
#include "common/replace_file.h"
#include "master/service.h"

namespace gorv::master {
namespace {

Master& master_of(void* opaque) { return *static_cast<ServiceContext*>(opaque)->master; }

void write_link_state(Master& master) {
    const std::span<const RowLinks> rows(master.service.links.data(), static_cast<std::size_t>(master.number_of_segs));
    if (replace_file(kMasterLinksPath, link_state_text(static_cast<std::int32_t>(getpid()), rows, master.clients))) {
        master.service.file_failures.reset();
        return;
    }
    char reason[96];
    std::snprintf(reason, sizeof reason, "%s: %s", kMasterLinksPath, std::strerror(errno));
    if (master.service.file_failures.fresh(reason)) std::fprintf(stderr, "%s\n", reason);
}

// The master ends: the file says every row down before its last process ends.
void write_last_link_state() {
    Master& master = *service_context.master;
    const std::int64_t now = std::time(nullptr);
    for (std::int32_t row = 0; row < master.number_of_segs; ++row)
        for (const bool to_remote : {true, false}) note_link(master.service.links[row], to_remote, false, now);
    write_link_state(master);
}

// False for a row the master does not have.
bool note(Master& master, std::int32_t row, bool to_remote, bool up) {
    if (row < 0 || row >= master.number_of_segs) return false;
    note_link(master.service.links[static_cast<std::size_t>(row)], to_remote, up, std::time(nullptr));
    return true;
}

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

}  // namespace

void send_service_rows(Master& master) {
    close(master.service.report_write);
    const std::int32_t seg_size = master.settings.seg_size;
    ServiceSenderSetup setup{
        .link = kMasterLinkParams,
        .who = "Master row",
        .direction = "to_remote",
        .rows = master.number_of_segs,
        .first_id = 0,
        .host_of = host_of,
        .lookups = &master.service.lookups,
        .own = make_greeting(LinkRole::kMaster, 0, seg_size),
        .expected = make_greeting(LinkRole::kRemote, 0, seg_size),
        .source = {&service_context, changed, segment, report_sent_link, master.service.report_read, take_reports},
        .key = master.keyed};
    setup.link.ipv6 = master.settings.ipv6;
    const std::int64_t start = std::time(nullptr);
    for (std::int32_t row = 0; row < master.number_of_segs; ++row) master.service.links[row].since = start;
    write_link_state(master);
    at_family_end(write_last_link_state);
    run_service_sender(setup);
}

}  // namespace gorv::master
