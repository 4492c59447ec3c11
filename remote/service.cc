// The remote daemon in service mode: the receiver keeps listening on its
// own port for its whole life, the sender relinks to the master without
// end, and the two processes end together.
#include <cstdio>
#include <cstdlib>

#include "common/daemon_life.h"
#include "common/service_link.h"
#include "common/update_message.h"
#include "remote/remote.h"

namespace gorv::remote {
namespace {

Remote& remote_of(void* opaque) { return *static_cast<Remote*>(opaque); }

Greeting greeting_of(const Remote& remote, LinkRole role) {
    return make_greeting(role, remote.settings.client_id, remote.settings.seg_size);
}

void store(void* opaque) { store_received_update(remote_of(opaque)); }

const char* host_of(void* opaque, int) { return remote_of(opaque).settings.master_host; }

// The receiver's own child runs the daemon's look-ups.
[[noreturn]] void receive_updates(Remote& remote) {
    const pid_t look_ups = fork_member();
    if (look_ups < 0) {
        std::perror("fork");
        end_family(kExitFailure);
    }
    if (look_ups == 0) serve_host_lookups(remote.settings.ipv6, host_of, &remote, remote.lookups);
    const ServiceReceiver receiver{.link = link_params_of(remote),
                                   .name = {"Remote", remote.settings.client_id, "from_master"},
                                   .peer_host = remote.settings.master_host,
                                   .lookups = &remote.lookups,
                                   .name_index = 0,
                                   .own = greeting_of(remote, LinkRole::kRemote),
                                   .expected = greeting_of(remote, LinkRole::kMaster),
                                   .message = remote.message_buffer,
                                   .context = &remote,
                                   .store = store,
                                   .report = nullptr,
                                   .key = remote.keyed};
    run_service_receiver(receiver);
}

bool changed(void* opaque, int) {
    Remote& remote = remote_of(opaque);
    return detect_change(only_segment(remote.ro_area, remote.settings.seg_size), remote.shadow_copy,
                         kSilentUpdateTexts);
}

std::span<const std::byte> segment(void* opaque, int) {
    const Remote& remote = remote_of(opaque);
    return only_segment(remote.ro_area, remote.settings.seg_size);
}

}  // namespace

void run_service(Remote& remote) {
    start_family();
    if (!open_host_lookups(1, remote.lookups)) {
        std::perror("look-ups");
        std::exit(kExitFailure);
    }
    const pid_t child = fork_member();
    if (child < 0) {
        std::perror("fork");
        std::exit(kExitFailure);
    }
    if (child == 0) receive_updates(remote);
    ServiceSenderSetup setup{.link = link_params_of(remote),
                             .who = "Remote",
                             .direction = "to_master",
                             .rows = 1,
                             .first_id = remote.settings.client_id,
                             .host_of = host_of,
                             .lookups = &remote.lookups,
                             .own = greeting_of(remote, LinkRole::kRemote),
                             .expected = greeting_of(remote, LinkRole::kMaster),
                             .source = {&remote, changed, segment, nullptr, -1, nullptr},
                             .key = remote.keyed};
    run_service_sender(setup);
}

}  // namespace gorv::remote
