#include "master/options.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>


namespace gorv::master {

void print_master_usage() {
    std::puts("gorv_master: [-h] [-r] [-s size ] [-g filename] [-v ]");
    std::puts("\t[-h] ............... help screen.");
    std::puts("\t[-r] ............... Release of shared memory.");
    std::puts("\t[-g config_file ]... Configuration filename.");
    std::puts("\t[-s size ].......... Size of shared memory in bytes.");
    std::puts("\t[-y 6] ............. Use IPv6.");
    std::puts("\t[-k] ............... Service mode: links that heal (remotes need -k too).");
    std::puts("\t[-v] ............... Print version number and exit.");
    std::putchar('\n');
}

std::optional<int> parse_master_options(int argc, char** argv, long page, MasterSettings& settings) {
    optind = 0;  // a full rescan, so that tests may parse several command lines
    for (int option; (option = getopt(argc, argv, "hkrvs:g:y:K:")) != -1;) {
        bool taken = false;
        if (const auto status = take_daemon_option(option, optarg, kMasterNames, page, settings, taken)) return status;
        if (taken) continue;
        switch (option) {
            case 'h':
                print_master_usage();
                return kExitOk;
            case 'g': {
                const size_t length = std::strlen(optarg);
                if (length > static_cast<size_t>(kListPathMax)) {
                    std::printf("Master: client list path longer than %d characters\n", kListPathMax);
                    return kExitFailure;
                }
                std::memcpy(settings.list_path, optarg, length + 1);
                settings.list_given = true;
                break;
            }
            default:  // getopt has printed its own diagnostic
                break;
        }
    }
    return check_daemon_settings(kMasterNames, settings);
}

}  // namespace gorv::master
