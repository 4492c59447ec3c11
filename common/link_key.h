// Keyed service-mode links (-K FILE): the link key and every step that
// uses it, all of them libsodium's.
//
// The key file holds 64 hexadecimal digits (32 bytes). Three keys are
// derived from it (crypto_kdf, context "gorvlink"): one for the connecting
// end's proof, one for the listening end's, one from which each link's
// session key is made. A keyed link begins:
//
//   connecting end:  greeting (16 bytes, version 2) + its nonce (32 bytes)
//   listening end:   greeting (16) + its nonce (32) + its proof (32)
//   connecting end:  its proof (32)
//
// The transcript is both greetings and both nonces, in the order sent; a
// proof is crypto_auth (HMAC-SHA512-256) of the transcript under that
// end's proof key, and the link's session key is crypto_auth of the
// transcript under the third key. Every update message is followed by a
// 32-byte tag: crypto_auth, under the session key, of the message's place
// in the link's stream (a 64-bit big-endian count from 0) and the message.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace gorv {

inline constexpr std::size_t kLinkKeyDigits = 64;
inline constexpr std::size_t kNonceSize = 32;
inline constexpr std::size_t kProofSize = 32;
inline constexpr std::size_t kTagSize = 32;

using KeyBytes = std::array<std::uint8_t, 32>;
using Nonce = std::array<std::uint8_t, kNonceSize>;
using Proof = std::array<std::uint8_t, kProofSize>;
using Tag = std::array<std::uint8_t, kTagSize>;

enum class LinkEnd { kConnecting, kListening };

// The keys derived from a key file; a daemon without -K has none.
struct LinkKey {
    KeyBytes connecting_proof{};
    KeyBytes listening_proof{};
    KeyBytes session_base{};
};

// Reads and checks the key file (common/secret_file.h, then 64 hex digits)
// and derives the keys: null when loaded, otherwise why the file was refused.
const char* load_link_key(const char* path, LinkKey& key);

// A fresh random nonce.
void fresh_nonce(Nonce& nonce);

// The transcript of a keyed greeting: both greetings and both nonces.
using Transcript = std::array<std::uint8_t, 2 * (16 + kNonceSize)>;

Proof proof_of(const LinkKey& key, LinkEnd end, const Transcript& transcript);
// Compared in constant time.
bool proof_matches(const LinkKey& key, LinkEnd end, const Transcript& transcript, const Proof& proof);

// One link's session: its key and the place of the next message.
struct LinkSession {
    KeyBytes key{};
    std::uint64_t next = 0;
};
LinkSession start_session(const LinkKey& key, const Transcript& transcript);

// The tag of the session's next message; moves the session on.
Tag tag_next(LinkSession& session, std::span<const std::byte> message);
// Whether the tag is the next message's (compared in constant time); the
// session moves on either way.
bool tag_matches_next(LinkSession& session, std::span<const std::byte> message, const Tag& tag);

}  // namespace gorv
