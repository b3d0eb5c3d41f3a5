#pragma once
// The vendor's signing keys: making a pair (keygen), the private key file and the
// public key file.

#include <cstdint>
#include <optional>
#include <string>

#include "tools/publish/key_pair.h"
#include "tools/publish/log.h"

namespace qv::publish {

struct KeygenOptions {
    std::wstring private_file;
    std::wstring public_file;
};

// Makes a new key pair and writes both files; refuses when either exists. Returns an
// ExitCode.
int GenerateKeys(const KeygenOptions& options, Log& log);

// What publish --sign takes.
struct SigningOptions {
    std::wstring private_file;         // empty: publish unsigned
    std::optional<uint64_t> sequence;  // default: the current UTC time in seconds
    std::optional<uint64_t> expires;   // seconds since 1970
};

// The private key file: one line "qvupdate-private-key-1 ecdsa-p256 D POINT" (lowercase
// hex), LF or CRLF at its end. False with a message in `error`.
[[nodiscard]] bool LoadPrivateKey(const std::wstring& path, EcdsaKeyPair& key, std::wstring& error);
// The public key file: the key text of cfg.ini alone on one line.
[[nodiscard]] bool LoadPublicKey(const std::wstring& path, EcdsaPublicKey& key,
                                 std::wstring& error);

}  // namespace qv::publish
