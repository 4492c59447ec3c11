// The master's receivers: one process per row, each taking the updates that
// one remote sends and storing them in the RO segment that dest_who names.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/update_message.h"
#include "master/master.h"

namespace gorv::master {
namespace {

[[noreturn]] void run_receiver(Master& master, std::int32_t row) {
    LinkParams link = kMasterLinkParams;
    link.ipv6 = master.settings.ipv6;
    link.id = row;
    const int listening = open_listen_endpoint(link);
    const int peer = accept_peer(link, listening);
    if (kMasterLogLevel >= 2) std::puts("Master looping in receive ");
    for (;;) {
        receive_message(link, peer, master.message_buffer);
        store_received_update(master, row);
        std::fflush(stdout);
    }
}

}  // namespace

void store_received_update(Master& master, std::int32_t row) {
    // Service mode prints no line per message.
    const bool per_message_lines = !master.settings.service;
    const UpdateTexts& texts = per_message_lines ? kMasterUpdateTexts : kSilentUpdateTexts;
    const std::int32_t dest_who = decode_update(master.message_buffer, master.decode_buffer, texts);
    // dest_who comes off the wire: only an existing segment is written.
    if (dest_who < 0 || dest_who >= master.number_of_segs) {
        std::printf("Master %d dropped update for remote id %d: no such segment\n", row, dest_who);
        return;
    }
    if (per_message_lines) std::printf("Master received update from remote id %d\n", dest_who);
    const std::span<std::byte> segment = segment_of(master.ro_area, master.settings.seg_size, dest_who);
    if (!segment.empty()) std::memcpy(segment.data(), master.decode_buffer.data(), segment.size());
}

void run_receiver_spawner(Master& master) {
    if (kMasterLogLevel >= 2) std::puts("Master children starting");
    for (std::int32_t row = 0; row < master.number_of_segs; ++row) {
        std::fflush(stdout);
        const pid_t child = fork();
        if (child == 0) run_receiver(master, row);
        if (child < 0) std::perror("fork");
    }
    std::fflush(stdout);
    wait(nullptr);
}

}  // namespace gorv::master
