#include "common/daemon_options.h"

#include <cstdio>
#include <cstdlib>

#include "common/segment_area.h"

namespace gorv {

std::optional<int> take_daemon_option(int option, const char* argument, const DaemonNames& names, long page,
                                      DaemonSettings& settings, bool& taken) {
    taken = true;
    switch (option) {
        case 'k':
            settings.service = true;
            break;
        case 'K':
            settings.key_path = argument;
            break;
        case 'r':
            settings.release = true;
            break;
        case 's':
            if (!take_seg_size_option(names.role, argument, page, settings.seg_size)) return kExitFailure;
            break;
        case 'y':
            settings.ipv6 = std::strtol(argument, nullptr, 10) != 0;
            break;
        case 'v':
            std::printf("%s: Version %s\n", names.program, kDaemonVersion);
            return kExitOk;
        default:
            taken = false;
    }
    return std::nullopt;
}

std::optional<int> check_daemon_settings(const DaemonNames& names, const DaemonSettings& settings) {
    if (settings.key_path == nullptr || settings.service) return std::nullopt;
    std::printf("%s: -K needs -k: a link key is for service mode only\n", names.role);
    return kExitFailure;
}

std::optional<int> load_daemon_key(const DaemonNames& names, const DaemonSettings& settings, LinkKey& key,
                                   const LinkKey*& loaded) {
    loaded = nullptr;
    if (settings.key_path == nullptr) {
        if (settings.service && !settings.release)
            std::fprintf(stderr, "%s: service-mode links are not authenticated: no link key (-K)\n", names.role);
        return std::nullopt;
    }
    if (const char* refusal = load_link_key(settings.key_path, key)) {
        std::printf("%s: link key file %s refused: %s\n", names.role, settings.key_path, refusal);
        return kExitFailure;
    }
    loaded = &key;
    return std::nullopt;
}

}  // namespace gorv
