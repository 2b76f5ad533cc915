// The cryptography of the sealed evidence over OpenSSL's libcrypto (3.0 or
// later): EVP for every operation, the library's own generator for every
// random byte.
#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <cstring>

#include "crypto/crypto.h"

namespace crypto {

struct PublicKey {
    EVP_PKEY* pkey = nullptr;
    KeyType type = KeyType::kRsa;
    ~PublicKey() { EVP_PKEY_free(pkey); }
};

namespace {

struct PkeyContext {
    EVP_PKEY_CTX* ctx;
    ~PkeyContext() { EVP_PKEY_CTX_free(ctx); }
};

bool IsSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Base64 DER (or PEM) text to the library's key; null when it is neither.
EVP_PKEY* DecodeKey(const std::string& text) {
    if (text.find("-----BEGIN PUBLIC KEY-----") != std::string::npos) {
        BIO* bio = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
        if (!bio) return nullptr;
        EVP_PKEY* key = PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr);
        BIO_free(bio);
        return key;
    }
    std::string compact;
    for (char c : text) {
        if (!IsSpace(c)) compact += c;
    }
    if (compact.empty() || compact.size() % 4 != 0 || compact.size() > 8192) return nullptr;
    size_t padding = 0;
    while (padding < 2 && compact[compact.size() - 1 - padding] == '=') ++padding;
    Bytes der(compact.size() / 4 * 3);
    const int decoded =
        EVP_DecodeBlock(der.data(), reinterpret_cast<const uint8_t*>(compact.data()),
                        static_cast<int>(compact.size()));
    if (decoded < 0 || static_cast<size_t>(decoded) < padding) return nullptr;
    const long length = decoded - static_cast<long>(padding);
    const uint8_t* p = der.data();
    EVP_PKEY* key = d2i_PUBKEY(nullptr, &p, length);
    // Nothing may follow the key.
    if (key && p != der.data() + length) {
        EVP_PKEY_free(key);
        return nullptr;
    }
    return key;
}

Bytes BigNumberParam(const EVP_PKEY* key, const char* name) {
    BIGNUM* number = nullptr;
    Bytes out;
    if (EVP_PKEY_get_bn_param(key, name, &number) == 1 && number) {
        out.resize(static_cast<size_t>(BN_num_bytes(number)));
        BN_bn2bin(number, out.data());
    }
    BN_free(number);
    return out;
}

// The uncompressed point 04 || x || y of an EC key.
bool EcPoint(const EVP_PKEY* key, Bytes* x, Bytes* y) {
    uint8_t point[65];
    size_t length = 0;
    if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point,
                                        sizeof point, &length) != 1 ||
        length != 65 || point[0] != 4) {
        return false;
    }
    x->assign(point + 1, point + 33);
    y->assign(point + 33, point + 65);
    return true;
}

}  // namespace

PublicKeyPtr ParsePublicKey(const std::string& text, std::string* error) {
    EVP_PKEY* decoded = DecodeKey(text);
    // A refused text leaves nothing queued for the next library call.
    ERR_clear_error();
    if (!decoded) {
        *error = "not a public key (SubjectPublicKeyInfo as PEM or Base64 DER)";
        return nullptr;
    }
    auto key = std::make_shared<PublicKey>();
    key->pkey = decoded;
    if (EVP_PKEY_get_base_id(decoded) == EVP_PKEY_RSA) {
        const int bits = EVP_PKEY_get_bits(decoded);
        if (bits < kMinRsaBits || bits > kMaxRsaBits) {
            *error = "an RSA key of " + std::to_string(bits) + " bits; " +
                     std::to_string(kMinRsaBits) + " to " + std::to_string(kMaxRsaBits) +
                     " are accepted";
            return nullptr;
        }
        key->type = KeyType::kRsa;
    } else if (EVP_PKEY_get_base_id(decoded) == EVP_PKEY_EC) {
        char curve[64] = {};
        size_t length = 0;
        if (EVP_PKEY_get_utf8_string_param(decoded, OSSL_PKEY_PARAM_GROUP_NAME, curve, sizeof curve,
                                           &length) != 1 ||
            strcmp(curve, "prime256v1") != 0) {
            *error = std::string("an EC key on the curve ") + (curve[0] ? curve : "(unnamed)") +
                     "; only P-256 is accepted";
            return nullptr;
        }
        Bytes x, y;
        if (!EcPoint(decoded, &x, &y)) {
            *error = "an EC key whose point cannot be read";
            return nullptr;
        }
        key->type = KeyType::kP256;
    } else {
        *error = "a key of a type that is not accepted (RSA or EC P-256 are)";
        return nullptr;
    }
    // A key that no encryption could use (an even RSA modulus, say) is
    // refused now, not at OK after the signer has signed.
    PkeyContext c{EVP_PKEY_CTX_new_from_pkey(nullptr, decoded, nullptr)};
    if (!c.ctx || EVP_PKEY_public_check(c.ctx) != 1) {
        ERR_clear_error();
        *error = "a key that fails the public-key checks";
        return nullptr;
    }
    return key;
}

KeyType TypeOf(const PublicKey& key) {
    return key.type;
}

bool KeyComponents(const PublicKey& key, Bytes* first, Bytes* second) {
    if (key.type == KeyType::kP256) return EcPoint(key.pkey, first, second);
    *first = BigNumberParam(key.pkey, OSSL_PKEY_PARAM_RSA_N);
    *second = BigNumberParam(key.pkey, OSSL_PKEY_PARAM_RSA_E);
    return !first->empty() && !second->empty();
}

Bytes Sha256(const void* data, size_t size) {
    Bytes digest(32);
    unsigned int length = 0;
    if (EVP_Digest(data, size, digest.data(), &length, EVP_sha256(), nullptr) != 1 ||
        length != 32) {
        return {};
    }
    return digest;
}

bool RandomBytes(Bytes* out, size_t count) {
    out->resize(count);
    return RAND_bytes(out->data(), static_cast<int>(count)) == 1;
}

bool RsaOaepSha256Encrypt(const PublicKey& recipient, const Bytes& plain, Bytes* out) {
    if (recipient.type != KeyType::kRsa) return false;
    PkeyContext c{EVP_PKEY_CTX_new_from_pkey(nullptr, recipient.pkey, nullptr)};
    if (!c.ctx || EVP_PKEY_encrypt_init(c.ctx) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(c.ctx, RSA_PKCS1_OAEP_PADDING) != 1 ||
        EVP_PKEY_CTX_set_rsa_oaep_md(c.ctx, EVP_sha256()) != 1 ||
        EVP_PKEY_CTX_set_rsa_mgf1_md(c.ctx, EVP_sha256()) != 1) {
        return false;
    }
    size_t length = 0;
    if (EVP_PKEY_encrypt(c.ctx, nullptr, &length, plain.data(), plain.size()) != 1) return false;
    out->resize(length);
    if (EVP_PKEY_encrypt(c.ctx, out->data(), &length, plain.data(), plain.size()) != 1) {
        return false;
    }
    out->resize(length);
    return true;
}

bool EcdhWithEphemeral(const PublicKey& recipient, Bytes* shared, Bytes* ephemeralX,
                       Bytes* ephemeralY) {
    if (recipient.type != KeyType::kP256) return false;
    EVP_PKEY* ephemeral = EVP_EC_gen("P-256");
    if (!ephemeral) return false;
    bool done = EcPoint(ephemeral, ephemeralX, ephemeralY);
    if (done) {
        PkeyContext c{EVP_PKEY_CTX_new_from_pkey(nullptr, ephemeral, nullptr)};
        size_t length = 0;
        done = c.ctx && EVP_PKEY_derive_init(c.ctx) == 1 &&
               EVP_PKEY_derive_set_peer(c.ctx, recipient.pkey) == 1 &&
               EVP_PKEY_derive(c.ctx, nullptr, &length) == 1;
        if (done) {
            shared->resize(length);
            done = EVP_PKEY_derive(c.ctx, shared->data(), &length) == 1;
            shared->resize(length);
        }
    }
    EVP_PKEY_free(ephemeral);
    return done;
}

bool ConcatKdfSha256(const Bytes& secret, const Bytes& otherInfo, size_t length, Bytes* out) {
    EVP_KDF* kdf = EVP_KDF_fetch(nullptr, OSSL_KDF_NAME_SSKDF, nullptr);
    if (!kdf) return false;
    EVP_KDF_CTX* ctx = EVP_KDF_CTX_new(kdf);
    EVP_KDF_free(kdf);
    if (!ctx) return false;
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<uint8_t*>(secret.data()),
                                          secret.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO,
                                          const_cast<uint8_t*>(otherInfo.data()), otherInfo.size()),
        OSSL_PARAM_construct_end()};
    out->resize(length);
    const bool done = EVP_KDF_derive(ctx, out->data(), length, params) == 1;
    EVP_KDF_CTX_free(ctx);
    return done;
}

bool AesKeyWrap(const Bytes& kek, const Bytes& key, Bytes* out) {
    if (kek.size() != 32 || key.empty() || key.size() % 8 != 0) return false;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (!ctx) return false;
    // The wrap modes are refused unless the context allows them explicitly.
    EVP_CIPHER_CTX_set_flags(ctx, EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
    out->resize(key.size() + 8);
    int length = 0, last = 0;
    const bool done =
        EVP_EncryptInit_ex(ctx, EVP_aes_256_wrap(), nullptr, kek.data(), nullptr) == 1 &&
        EVP_EncryptUpdate(ctx, out->data(), &length, key.data(), static_cast<int>(key.size())) ==
            1 &&
        EVP_EncryptFinal_ex(ctx, out->data() + length, &last) == 1 &&
        static_cast<size_t>(length + last) == out->size();
    EVP_CIPHER_CTX_free(ctx);
    return done;
}

bool AesGcmEncrypt(const Bytes& key, const Bytes& iv, const std::string& aad,
                   const std::string& plain, Bytes* cipher, Bytes* tag) {
    if (key.size() != 32 || iv.size() != 12 || plain.size() > 0x7fffffff) return false;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (!ctx) return false;
    cipher->resize(plain.size());
    tag->resize(16);
    int length = 0, last = 0, aadLength = 0;
    const bool done =
        EVP_EncryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, key.data(), iv.data()) == 1 &&
        EVP_EncryptUpdate(ctx, nullptr, &aadLength, reinterpret_cast<const uint8_t*>(aad.data()),
                          static_cast<int>(aad.size())) == 1 &&
        EVP_EncryptUpdate(ctx, cipher->data(), &length,
                          reinterpret_cast<const uint8_t*>(plain.data()),
                          static_cast<int>(plain.size())) == 1 &&
        EVP_EncryptFinal_ex(ctx, cipher->data() + length, &last) == 1 &&
        static_cast<size_t>(length + last) == plain.size() &&
        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, tag->data()) == 1;
    EVP_CIPHER_CTX_free(ctx);
    return done;
}

}  // namespace crypto
