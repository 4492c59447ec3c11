// The remote's sender: links to the master's receiver for this client id,
// then once a second sends the RO segment when it changed, and in the first
// pass whatever it holds.
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "common/update_message.h"
#include "remote/remote.h"

namespace gorv::remote {

void run_sender(Remote& remote) {
    if (kRemoteLogLevel >= 2) std::puts("Remote parent starting");
    const RemoteSettings& settings = remote.settings;
    const LinkParams link = link_params_of(remote);
    UpdateTexts texts = kRemoteUpdateTexts;
    texts.own_id = settings.client_id;

    std::fflush(stdout);
    resolve_host(link, settings.master_host, remote.peer_address);
    const auto port = static_cast<std::uint16_t>(link.connect_base + settings.client_id);
    remote.links[settings.client_id] = open_send_link(link, port, remote.peer_address);

    std::ranges::fill(remote.shadow_copy, std::byte{0});
    const std::span<std::byte> ro_segment = only_segment(remote.ro_area, settings.seg_size);
    bool first_pass = true;
    for (;;) {
        const bool changed = detect_change(ro_segment, remote.shadow_copy, texts);
        if (changed || first_pass) {
            send_update(remote.links[settings.client_id], settings.master_host, ro_segment, settings.client_id,
                        remote.message_buffer, texts);
            first_pass = false;
        }
        std::fflush(stdout);
        sleep(1);
    }
}

}  // namespace gorv::remote
