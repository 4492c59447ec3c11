// gorv_remote start-up: read the command line, allocate the buffers, create
// or attach both one-segment areas without clearing them, publish them in
// the client registry file, then split into the receiver and the sender.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>

#include "common/daemon_lock.h"
#include "common/registry.h"
#include "common/segment_area.h"
#include "remote/remote.h"

namespace gorv::remote {
namespace {

// The remote's process-wide state; each forked process has its own copy.
Remote the_remote;

// Heap blocks are never freed: they live as long as the process.
std::optional<std::span<std::byte>> zeroed_block(std::int32_t size) {
    void* block = std::calloc(static_cast<size_t>(size), 1);
    if (block == nullptr && size != 0) return std::nullopt;
    return std::span<std::byte>(static_cast<std::byte*>(block), static_cast<size_t>(size));
}

// The decode buffer, the message buffer and the ShadowCopy, in that order.
bool allocate_buffers(Remote& remote) {
    const std::int32_t seg_size = remote.settings.seg_size;
    remote.message_length = seg_size + 4;  // the options keep this within 32 bits
    const auto decode = zeroed_block(seg_size);
    if (!decode) return false;
    remote.decode_buffer = *decode;
    const auto message = zeroed_block(remote.message_length);
    if (!message) return false;
    remote.message_buffer = *message;
    const auto shadow = zeroed_block(seg_size);
    if (!shadow) return false;
    remote.shadow_copy = *shadow;
    return true;
}

std::byte* acquire(key_t key, const Remote& remote, const char* failure_line, bool& removal_failed) {
    return acquire_or_exit(key, remote.area_size, remote.settings.release, kRemoteAreaOwner, failure_line,
                           &removal_failed);
}

// The areas are not cleared: an area that already existed keeps its words.
void acquire_areas(Remote& remote) {
    const bool announce = kRemoteLogLevel >= 1 && !remote.settings.release;
    remote.area_size = kRemoteNumberOfSegs * remote.settings.seg_size;

    remote.mo_area = acquire(remote.mo_key, remote, "Unable to attach to MO segment ", remote.mo_removal_failed);
    if (announce)
        std::printf("Remote allocated/attached %d bytes of MO gorv memory. Key is 0x%lx\n", remote.area_size,
                    static_cast<unsigned long>(remote.mo_key));

    remote.ro_area = acquire(remote.ro_key, remote, "Unable to attach to RO segment ", remote.ro_removal_failed);
    if (announce)
        std::printf("Remote allocated/attached %d bytes of RO gorv memory. Key is 0x%lx\n", remote.area_size,
                    static_cast<unsigned long>(remote.ro_key));
}

// Written in release runs too; the release run removes it again.
void publish_registry(Remote& remote) {
    std::snprintf(remote.registry_path, sizeof remote.registry_path, "%s_%u", kClientRegistryBase,
                  static_cast<unsigned>(remote.settings.client_id));
    if (!write_client_registry(remote.registry_path, static_cast<std::uint32_t>(remote.mo_key),
                               static_cast<std::uint32_t>(remote.ro_key), remote.area_size))
        std::perror(remote.registry_path);
}

// Without areas there is no registry path, and no file is removed.
[[noreturn]] void finish_remote_release_run(const Remote& remote) {
    const ReleasedArea areas[] = {
        {"Remote released %d bytes of MO gorv memory. Key is 0x%lx\n", remote.area_size, remote.mo_key,
         remote.mo_removal_failed},
        {"Remote released %d bytes of RO gorv memory. Key is 0x%lx\n", remote.area_size, remote.ro_key,
         remote.ro_removal_failed}};
    finish_release_run(areas, remote.registry_path);
}

// A -k start takes its client's areas for itself; any other run goes on.
void claim_areas(const Remote& remote) {
    const int id = remote.settings.client_id;
    char who[32];
    char name[32];
    std::snprintf(who, sizeof who, "Remote %d", id);
    std::snprintf(name, sizeof name, "%s_%d", kRemoteLockBase, id);
    if (remote.settings.service && !remote.settings.release) hold_daemon_lock_or_exit(who, "remote", name);
    else warn_of_daemon_lock(who, "remote", name);
}

int start(int argc, char** argv, Remote& remote) {
    if (argc == 1) {
        print_remote_usage();
        return kExitOk;
    }
    if (const auto status = parse_remote_options(argc, argv, getpagesize(), remote.settings)) return *status;
    if (!remote.settings.host_given || !remote.settings.id_given) {
        print_remote_usage();
        return kExitOk;
    }
    if (const auto status = load_daemon_key(kRemoteNames, remote.settings, remote.link_key, remote.keyed))
        return *status;
    remote.mo_key = remote_mo_key(remote.settings.client_id);
    remote.ro_key = remote_ro_key(remote.settings.client_id);

    if (!allocate_buffers(remote)) {
        std::printf("Remote: cannot allocate buffers for a segment size of %d bytes\n", remote.settings.seg_size);
        return kExitFailure;
    }
    claim_areas(remote);
    if (kRemoteNumberOfSegs != 0 && remote.settings.seg_size != 0) {
        acquire_areas(remote);
        publish_registry(remote);
    }
    if (remote.settings.release) finish_remote_release_run(remote);

    if (remote.settings.service) run_service(remote);
    std::fflush(stdout);  // a child must not inherit lines still buffered
    const pid_t child = fork();
    if (child < 0) {
        std::perror("fork");
        return kExitFailure;
    }
    if (child == 0) run_receiver(remote);
    sleep(1);  // the receiver listens before the sender links up
    run_sender(remote);
}

}  // namespace
}  // namespace gorv::remote

int main(int argc, char** argv) { return gorv::remote::start(argc, argv, gorv::remote::the_remote); }
