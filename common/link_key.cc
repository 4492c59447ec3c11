#include "common/link_key.h"

#include <sodium.h>

#include "common/big_endian.h"
#include "common/secret_file.h"

namespace gorv {
namespace {

constexpr char kKdfContext[crypto_kdf_CONTEXTBYTES + 1] = "gorvlink";
enum Subkey : std::uint64_t { kConnectingProof = 1, kListeningProof = 2, kSessionBase = 3 };

static_assert(crypto_kdf_KEYBYTES == KeyBytes{}.size() && crypto_auth_KEYBYTES == KeyBytes{}.size());
static_assert(crypto_auth_BYTES == kProofSize && crypto_auth_BYTES == kTagSize);

void derive(KeyBytes& subkey, Subkey id, const KeyBytes& master) {
    crypto_kdf_derive_from_key(subkey.data(), subkey.size(), id, kKdfContext, master.data());
}

const KeyBytes& proof_key(const LinkKey& key, LinkEnd end) {
    return end == LinkEnd::kConnecting ? key.connecting_proof : key.listening_proof;
}

std::array<std::uint8_t, crypto_auth_BYTES> tag_of(const LinkSession& session, std::span<const std::byte> message) {
    std::array<std::uint8_t, 8> place{};
    store_n64(place.data(), session.next);
    crypto_auth_hmacsha512256_state state;
    crypto_auth_hmacsha512256_init(&state, session.key.data(), session.key.size());
    crypto_auth_hmacsha512256_update(&state, place.data(), place.size());
    crypto_auth_hmacsha512256_update(&state, reinterpret_cast<const unsigned char*>(message.data()), message.size());
    std::array<std::uint8_t, crypto_auth_BYTES> tag{};
    crypto_auth_hmacsha512256_final(&state, tag.data());
    sodium_memzero(&state, sizeof state);
    return tag;
}

}  // namespace

const char* load_link_key(const char* path, LinkKey& key) {
    SecretFile file = read_secret_file(path);
    if (file.refusal != nullptr) return file.refusal;
    KeyBytes master{};
    std::size_t length = 0;
    const char* end = nullptr;
    const bool hex = file.secret.size() == kLinkKeyDigits &&
                     sodium_hex2bin(master.data(), master.size(), file.secret.data(), file.secret.size(), nullptr,
                                    &length, &end) == 0 &&
                     length == master.size() && end == file.secret.data() + file.secret.size();
    sodium_memzero(file.secret.data(), file.secret.size());
    if (!hex) return "not 64 hexadecimal digits";
    if (sodium_init() < 0) return "libsodium cannot start";
    derive(key.connecting_proof, kConnectingProof, master);
    derive(key.listening_proof, kListeningProof, master);
    derive(key.session_base, kSessionBase, master);
    sodium_memzero(master.data(), master.size());
    return nullptr;
}

void fresh_nonce(Nonce& nonce) { randombytes_buf(nonce.data(), nonce.size()); }

Proof proof_of(const LinkKey& key, LinkEnd end, const Transcript& transcript) {
    Proof proof{};
    crypto_auth(proof.data(), transcript.data(), transcript.size(), proof_key(key, end).data());
    return proof;
}

bool proof_matches(const LinkKey& key, LinkEnd end, const Transcript& transcript, const Proof& proof) {
    return crypto_auth_verify(proof.data(), transcript.data(), transcript.size(), proof_key(key, end).data()) == 0;
}

LinkSession start_session(const LinkKey& key, const Transcript& transcript) {
    LinkSession session;
    crypto_auth(session.key.data(), transcript.data(), transcript.size(), key.session_base.data());
    return session;
}

Tag tag_next(LinkSession& session, std::span<const std::byte> message) {
    const Tag tag = tag_of(session, message);
    ++session.next;
    return tag;
}

bool tag_matches_next(LinkSession& session, std::span<const std::byte> message, const Tag& tag) {
    const Tag expected = tag_of(session, message);
    ++session.next;
    return sodium_memcmp(expected.data(), tag.data(), tag.size()) == 0;
}

}  // namespace gorv
