// The remote's receiver: takes the master's updates of this client's MO
// segment and copies each into the MO area's only segment.
#include <cstdio>
#include <cstring>

#include "common/update_message.h"
#include "remote/remote.h"

namespace gorv::remote {

void store_received_update(Remote& remote) {
    const std::int32_t dest_who = decode_update(remote.message_buffer, remote.decode_buffer, kRemoteUpdateTexts);
    if (kRemoteLogLevel >= 1)
        std::printf("Remote[%d] got update for mo segment #%d\n", remote.settings.client_id, dest_who);
    // The area has one segment: dest_who only says which one the master
    // meant, and the payload lands there whatever it says.
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
