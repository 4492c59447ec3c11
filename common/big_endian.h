// Network (big-endian) byte order for the numbers on the wire: the
// greeting's fields, an update message's dest_who, a tag's sequence number.
// Each routine reads or writes exactly its width at the pointer given.
#pragma once

#include <cstddef>
#include <cstdint>

namespace gorv {

inline void store_n16(std::uint8_t* to, std::uint16_t value) {
    to[0] = static_cast<std::uint8_t>(value >> 8);
    to[1] = static_cast<std::uint8_t>(value);
}

inline void store_n32(std::uint8_t* to, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) to[i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
}

inline void store_n64(std::uint8_t* to, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) to[i] = static_cast<std::uint8_t>(value >> (56 - 8 * i));
}

inline std::uint16_t load_n16(const std::uint8_t* from) {
    return static_cast<std::uint16_t>((from[0] << 8) | from[1]);
}

inline std::uint32_t load_n32(const std::uint8_t* from) {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value = (value << 8) | from[i];
    return value;
}

// The same over a segment's or a message's bytes.
inline void store_n32(std::byte* to, std::uint32_t value) { store_n32(reinterpret_cast<std::uint8_t*>(to), value); }
inline std::uint32_t load_n32(const std::byte* from) { return load_n32(reinterpret_cast<const std::uint8_t*>(from)); }

}  // namespace gorv
