#include "remote/options.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>


namespace gorv::remote {
namespace {

// Leading decimal digits count, text without them reads as 0, and a negative
// id becomes 0. Ids past the link table are refused (nullopt).
std::optional<std::int32_t> client_id_from(const char* text) {
    const long id = std::strtol(text, nullptr, 10);
    if (id < 0) return 0;
    if (id > kMaxClientId) return std::nullopt;
    return static_cast<std::int32_t>(id);
}

}  // namespace

void print_remote_usage() {
    std::puts("gorv_remote: [-h] [-H Master_hostname] [-n client_id] [-r] [-v]");
    std::puts("\t[-h].................... Help screen");
    std::puts("\t[-H Master_hostname].... Hostname of the master.");
    std::puts("\t[-n client_id].......... Unique client identifier.");
    std::puts("\t[-s].................... Size of shared memory in bytes.");
    std::puts("\t[-r].................... Release shared memory.");
    std::puts("\t[-y 6].................. Use IPv6.");
    std::puts("\t[-k].................... Service mode: links that heal (the master needs -k too).");
    std::puts("\t[-v].................... Print version number and exit.");
    std::putchar('\n');
}

std::optional<int> parse_remote_options(int argc, char** argv, long page, RemoteSettings& settings) {
    optind = 0;  // a full rescan, so that tests may parse several command lines
    for (int option; (option = getopt(argc, argv, "vhkrn:H:s:y:K:")) != -1;) {
        bool taken = false;
        if (const auto status = take_daemon_option(option, optarg, kRemoteNames, page, settings, taken)) return status;
        if (taken) continue;
        switch (option) {
            case 'h':
                print_remote_usage();
                return kExitOk;
            case 'n': {
                const auto id = client_id_from(optarg);
                if (!id) {
                    std::printf("Remote: client id %s refused: give 0 to %d\n", optarg, kMaxClientId);
                    return kExitFailure;
                }
                settings.client_id = *id;
                settings.id_given = true;
                break;
            }
            case 'H': {
                const size_t length = std::strlen(optarg);
                if (length > static_cast<size_t>(kHostNameMax)) {
                    std::printf("Remote: master host name longer than %d characters\n", kHostNameMax);
                    return kExitFailure;
                }
                std::memcpy(settings.master_host, optarg, length + 1);
                settings.host_given = true;
                break;
            }
            default:  // getopt has printed its own diagnostic
                break;
        }
    }
    return check_daemon_settings(kRemoteNames, settings);
}

}  // namespace gorv::remote
