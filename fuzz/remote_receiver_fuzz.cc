// The byte stream a remote receiver takes off its link, cut into whole
// messages, against a small MO area. The first input byte picks the segment
// size; whatever dest_who the messages carry, only the one segment is written.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz/quiet_stdout.h"
#include "remote/remote.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool quiet = gorv::fuzz::silence_stdout();
    (void)quiet;
    if (size == 0) return 0;
    auto remote = std::make_unique<gorv::remote::Remote>();
    remote->settings.seg_size = 4 * (data[0] & 0x0f);  // 0 to 60 bytes
    const auto seg_size = static_cast<std::size_t>(remote->settings.seg_size);
    std::vector<std::byte> mo_area(seg_size + 1);  // one guard byte past the segment
    std::vector<std::byte> decode(seg_size);
    std::vector<std::byte> message(seg_size + 4);
    remote->mo_area = mo_area.data();
    remote->area_size = remote->settings.seg_size;
    remote->decode_buffer = decode;
    remote->message_buffer = message;
    const std::byte guard = mo_area.back();

    for (std::size_t at = 1; at + message.size() <= size; at += message.size()) {
        std::memcpy(message.data(), data + at, message.size());
        gorv::remote::store_received_update(*remote);
    }
    if (mo_area.back() != guard) std::abort();
    return 0;
}
