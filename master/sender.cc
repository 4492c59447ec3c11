// The master's sender: links to every row's remote in row order, then once a
// second sends each MO segment that changed, and every one in the first pass.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <new>

#include "common/update_message.h"
#include "master/master.h"

namespace gorv::master {
namespace {

// A row whose remote is not up holds up every row after it.
void link_rows(Master& master, const LinkParams& link) {
    for (std::int32_t row = 0; row < master.number_of_segs; ++row) {
        const char* host = master.clients.rows[row];
        resolve_host(link, host, master.peer_address);
        const auto port = static_cast<std::uint16_t>(link.connect_base + row);
        master.sender.link[row] = open_send_link(link, port, master.peer_address);
    }
}

}  // namespace

bool mo_segment_changed(Master& master, std::int32_t row) {
    const std::int32_t seg_size = master.settings.seg_size;
    std::vector<std::byte>& shadow = master.sender.shadow[row];
    if (shadow.size() != static_cast<std::size_t>(seg_size)) {
        try {
            shadow.assign(static_cast<std::size_t>(seg_size), std::byte{0});
        } catch (const std::bad_alloc&) {
            std::printf("Master: cannot allocate a shadow copy of %d bytes\n", seg_size);
            std::exit(kExitFailure);
        }
    }
    return detect_change(segment_of(master.mo_area, seg_size, row), shadow, kMasterUpdateTexts);
}

namespace {

void sync_pass(Master& master) {
    SenderTables& tables = master.sender;
    for (std::int32_t row = 0; row < master.number_of_segs; ++row) {
        tables.changed[row] = mo_segment_changed(master, row) ? 1 : 0;
        if (tables.changed[row] == 0 && tables.force[row] == 0) continue;
        const char* host = master.clients.rows[row];
        if (kMasterLogLevel >= 2) std::printf("Sync for master owned segment %d for %s\n", row, host);
        tables.changed[row] = 0;
        send_update(tables.link[row], host, segment_of(master.mo_area, master.settings.seg_size, row), row,
                    master.message_buffer, kMasterUpdateTexts);
        tables.force[row] = 0;
    }
}

}  // namespace

void run_sender(Master& master) {
    if (kMasterLogLevel >= 2) std::puts("Master parent starting");
    LinkParams link = kMasterLinkParams;
    link.ipv6 = master.settings.ipv6;
    link_rows(master, link);
    master.sender.force.fill(1);
    for (;;) {
        sync_pass(master);
        std::fflush(stdout);
        sleep(1);
    }
}

}  // namespace gorv::master
