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

[[noreturn]] void receive_updates(Remote& remote) {
    const ServiceReceiver receiver{link_params_of(remote),
                                   {"Remote", remote.settings.client_id, "from_master"},
                                   remote.settings.master_host,
                                   greeting_of(remote, LinkRole::kRemote),
                                   greeting_of(remote, LinkRole::kMaster),
                                   remote.message_buffer,
                                   &remote,
                                   store,
                                   nullptr,
                                   remote.keyed};
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

const char* host_of(void* opaque, int) { return remote_of(opaque).settings.master_host; }

}  // namespace

void run_service(Remote& remote) {
    start_family();
    const pid_t child = fork_member();
    if (child < 0) {
        std::perror("fork");
        std::exit(kExitFailure);
    }
    if (child == 0) receive_updates(remote);
    ServiceSenderSetup setup{link_params_of(remote),
                             "Remote",
                             "to_master",
                             1,
                             remote.settings.client_id,
                             host_of,
                             greeting_of(remote, LinkRole::kRemote),
                             greeting_of(remote, LinkRole::kMaster),
                             {&remote, changed, segment, nullptr, -1, nullptr},
                             remote.keyed};
    run_service_sender(setup);
}

}  // namespace gorv::remote
