// The byte stream a master receiver takes off its link, cut into whole
// messages as the receiver does, against small areas. The first input byte
// picks the segment size and the row count; whatever dest_who the messages
// carry, nothing outside the RO area may be written.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz/quiet_stdout.h"
#include "master/master.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool quiet = gorv::fuzz::silence_stdout();
    (void)quiet;
    if (size == 0) return 0;
    auto master = std::make_unique<gorv::master::Master>();
    master->settings.seg_size = 4 * (data[0] & 0x0f);  // 0 to 60 bytes
    master->number_of_segs = 1 + (data[0] >> 4) % 4;
    const auto seg_size = static_cast<std::size_t>(master->settings.seg_size);
    // The area is exactly as large as its segments, so ASan sees any overrun.
    std::vector<std::byte> ro_area(seg_size * static_cast<std::size_t>(master->number_of_segs) + 1);
    master->ro_area = ro_area.data();
    master->decode_buffer.resize(seg_size);
    master->message_buffer.resize(seg_size + 4);
    const std::byte guard = ro_area.back();

    const std::size_t length = master->message_buffer.size();
    for (std::size_t at = 1; at + length <= size; at += length) {
        std::memcpy(master->message_buffer.data(), data + at, length);
        gorv::master::store_received_update(*master, 0);
    }
    if (ro_area.back() != guard) std::abort();
    return 0;
}
