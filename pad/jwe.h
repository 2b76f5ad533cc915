// The container of the sealed evidence: a JWE in compact serialization
// (RFC 7516) for one recipient's public key, with `alg` RSA-OAEP-256 (RSA) or
// ECDH-ES+A256KW (P-256), `enc` A256GCM and the key's RFC 7638 thumbprint as
// `kid`. This file only assembles; crypto/ computes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "crypto/crypto.h"

// Base64url without padding (RFC 7515 section 2).
std::string Base64Url(const uint8_t* data, size_t size);
std::string Base64Url(const std::string& text);

// The key's JWK thumbprint (RFC 7638, SHA-256) in Base64url; "" when the key's
// components cannot be read.
std::string KeyThumbprint(const crypto::PublicKey& key);

// The compact JWE of `plaintext` for `recipient`, its protected header naming
// `contentType` as `cty`; a fresh content key, IV (and ephemeral key) each
// time. "" when the library failed.
std::string SealCompactJwe(const crypto::PublicKey& recipient, const std::string& contentType,
                           const std::string& plaintext);
