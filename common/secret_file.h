// Reading a secret (a link key, a dashboard token) from a file that only its
// owner may read.
//
// The file must be a regular file, reached without following a link at the
// path, owned by root or the effective user, and neither readable nor
// writable by group or others. Its first line is the secret; one newline
// may end it, and nothing may follow that newline.
#pragma once

#include <string>

namespace gorv {

inline constexpr std::size_t kSecretFileLimit = 4096;

struct SecretFile {
    std::string secret;             // the first line, without its newline
    const char* refusal = nullptr;  // why the file was refused; null when read
};
// A file that cannot be opened or read is refused with strerror's text.

SecretFile read_secret_file(const char* path);

}  // namespace gorv
