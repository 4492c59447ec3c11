// Update messages and change detection.
//
// An update message carries one segment, L = Seg_size + 4 bytes, no other framing:
//
//   bytes 0..3            dest_who, the segment index, big-endian
//   bytes 4..4+4n-1       the segment's n = Seg_size / 4 words, each big-endian
//   the rest (Seg_size % 4 bytes)   zero
//
// Both ends compute L from their own Seg_size. Callers own every buffer; the
// routines only look at bytes inside the spans they are given and write only
// inside the spans they fill. A segment is read and written as 32-bit words
// in host order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace gorv {

// What one daemon prints while it encodes, sends and decodes. A null text
// (any field left out) is a line that daemon does not have. Argument lists
// are fixed per field.
struct UpdateTexts {
    int log_level = 0;
    const char* got_dest_who = nullptr;   // level 2 (dest_who), as a message is decoded
    const char* message_size = nullptr;   // level 2 (L), before encoding
    const char* sending_to = nullptr;     // level 2 (dest_who), before encoding
    const char* sending = nullptr;        // level 1 (peer name, L, dest_who)
    const char* sending_of_id = nullptr;  // level 1 (own id, peer name)
    const char* comparing = nullptr;      // level 2 (), at every comparison
    const char* change_found = nullptr;   // level 2 (), when a comparison found a change
    int own_id = 0;                       // the number sending_of_id prints
};

extern const UpdateTexts kMasterUpdateTexts;
// No line at all: service mode's messages.
extern const UpdateTexts kSilentUpdateTexts;
// own_id is the client id, filled in by the sender.
extern const UpdateTexts kRemoteUpdateTexts;

// Fills the whole message (L = segment.size() + 4 bytes): dest_who, the
// segment's words, zero bytes after them. A shorter message gets only the
// words that fit. message.size() >= 4.
void encode_update(std::span<const std::byte> segment, std::int32_t dest_who, std::span<std::byte> message);

// Returns dest_who and writes the message's words into the segment's words,
// as many as both hold. message.size() >= 4. Logs texts.got_dest_who.
std::int32_t decode_update(std::span<const std::byte> message, std::span<std::byte> segment, const UpdateTexts& texts);

// Encodes the segment into message (L bytes) and writes all of it to the
// socket, completing short writes. A write that fails prints "write failed\n"
// through perror and ends the process with exit status 26.
void send_update(int socket, const char* peer_name, std::span<const std::byte> segment, std::int32_t dest_who,
                 std::span<std::byte> message, const UpdateTexts& texts);

// True when some word of the segment differs from the shadow's; afterwards
// the shadow holds the words read. Both spans have the same size. Logs
// texts.comparing, and texts.change_found on a change.
bool detect_change(std::span<const std::byte> segment, std::span<std::byte> shadow, const UpdateTexts& texts);

}  // namespace gorv
