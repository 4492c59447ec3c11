// The remote's receiver: takes the master's updates of this client's MO
// segment and copies each into the MO area's only segment.
#include <cstdio>
#include <cstring>

#include "common/update_message.h"
#include "remote/remote.h"

namespace gorv::remote {

void store_received_update(Remote& remote) {
    // Service mode prints no line per message.
    const bool per_message_lines = !remote.settings.service;
    const UpdateTexts& texts = per_message_lines ? kRemoteUpdateTexts : kSilentUpdateTexts;
    const std::int32_t dest_who = decode_update(remote.message_buffer, remote.decode_buffer, texts);
    const std::int32_t own_id = remote.settings.client_id;
    // A receiver that had to move up a port may be linked to another
    // client's row: that client's updates are not this one's to store.
    if (dest_who != own_id) {
        std::printf("Remote[%d] dropped update for mo segment #%d: not client %d\n", own_id, dest_who, own_id);
        return;
    }
    if (per_message_lines && kRemoteLogLevel >= 1) std::printf("Remote[%d] got update for mo segment #%d\n", own_id, dest_who);
    const std::span<std::byte> mo_segment = only_segment(remote.mo_area, remote.settings.seg_size);
    if (!mo_segment.empty()) std::memcpy(mo_segment.data(), remote.decode_buffer.data(), mo_segment.size());
}

void run_receiver(Remote& remote) {
    if (kRemoteLogLevel >= 2) std::puts("Remote children starting");
    const LinkParams link = link_params_of(remote);
    const int listening = open_listen_endpoint(link);
    const int master = accept_peer(link, listening);
    for (;;) {
        std::fflush(stdout);
        receive_message(link, master, remote.message_buffer);
        store_received_update(remote);
    }
}

}  // namespace gorv::remote
