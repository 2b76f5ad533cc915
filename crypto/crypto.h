// The cryptography of the sealed evidence, behind one narrow interface: key
// parsing, SHA-256, random numbers, RSA-OAEP, ECDH on P-256 with the Concat
// KDF, AES key wrap and AES-GCM. A well-kept library computes all of it (the
// one file that implements this header); nothing here holds a secret key of
// the service's own, only the ephemeral ones a single evidence needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace crypto {

using Bytes = std::vector<uint8_t>;

enum class KeyType { kRsa, kP256 };

// A recipient's public key, as the library holds it.
struct PublicKey;
using PublicKeyPtr = std::shared_ptr<const PublicKey>;

// The smallest RSA modulus accepted, in bits.
constexpr int kMinRsaBits = 2048;
// The largest, in bits: a bound on the work one request can ask for.
constexpr int kMaxRsaBits = 16384;

// Parses a SubjectPublicKeyInfo given as PEM ("-----BEGIN PUBLIC KEY-----")
// or as Base64 DER (white space ignored): an RSA key of kMinRsaBits to
// kMaxRsaBits bits, or an EC key on P-256. Null with `error` set to a
// sentence saying what is wrong otherwise.
PublicKeyPtr ParsePublicKey(const std::string& text, std::string* error);

KeyType TypeOf(const PublicKey& key);
// The key's public components, big-endian: the RSA modulus and exponent
// without leading zero bytes, or the EC point's x and y, 32 bytes each.
bool KeyComponents(const PublicKey& key, Bytes* first, Bytes* second);

Bytes Sha256(const void* data, size_t size);
// Bytes from the library's cryptographically secure generator.
bool RandomBytes(Bytes* out, size_t count);

// RSAES-OAEP with SHA-256 and MGF1-SHA-256, empty label.
bool RsaOaepSha256Encrypt(const PublicKey& recipient, const Bytes& plain, Bytes* out);
// ECDH on P-256 with a fresh ephemeral key: the shared secret, and the
// ephemeral public point's x and y (32 bytes each).
bool EcdhWithEphemeral(const PublicKey& recipient, Bytes* shared, Bytes* ephemeralX,
                       Bytes* ephemeralY);
// The single-step (Concat) KDF of NIST SP 800-56A with SHA-256.
bool ConcatKdfSha256(const Bytes& secret, const Bytes& otherInfo, size_t length, Bytes* out);
// AES key wrap (RFC 3394) with the default initial value.
bool AesKeyWrap(const Bytes& kek, const Bytes& key, Bytes* out);
// AES-GCM with a 16-byte tag.
bool AesGcmEncrypt(const Bytes& key, const Bytes& iv, const std::string& aad,
                   const std::string& plain, Bytes* cipher, Bytes* tag);

}  // namespace crypto
