// The compact JWE of the sealed evidence: the protected header, the content
// key wrapped for the recipient, and the five Base64url parts in their order.
// Key management: RSA-OAEP-256 (RFC 7518 section 4.3) or ECDH-ES+A256KW
// (section 4.6: the Concat KDF over the shared secret, AlgorithmID
// "ECDH-ES+A256KW", empty PartyUInfo and PartyVInfo, a 256-bit key), content
// encryption A256GCM (section 5.3) with the header's ASCII as the AAD.
#include "pad/jwe.h"

#include "image/delivery.h"

namespace {

// A 32-bit big-endian length, then the bytes (RFC 7518 section 4.6.2).
void AppendLengthPrefixed(crypto::Bytes& out, const std::string& text) {
    const uint32_t length = static_cast<uint32_t>(text.size());
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(length >> shift));
    out.insert(out.end(), text.begin(), text.end());
}

std::string Base64Url(const crypto::Bytes& bytes) {
    return ::Base64Url(bytes.data(), bytes.size());
}

// The content key wrapped for an EC recipient, and the header's "epk" member.
bool WrapForEcdh(const crypto::PublicKey& recipient, const crypto::Bytes& contentKey,
                 crypto::Bytes* wrapped, std::string* epk) {
    static const char kAlgorithm[] = "ECDH-ES+A256KW";
    crypto::Bytes shared, x, y, otherInfo, kek;
    if (!crypto::EcdhWithEphemeral(recipient, &shared, &x, &y)) return false;
    AppendLengthPrefixed(otherInfo, kAlgorithm);
    AppendLengthPrefixed(otherInfo, "");                    // PartyUInfo
    AppendLengthPrefixed(otherInfo, "");                    // PartyVInfo
    for (uint8_t b : {0, 0, 1, 0}) otherInfo.push_back(b);  // SuppPubInfo: 256 bits
    const bool done = crypto::ConcatKdfSha256(shared, otherInfo, 32, &kek) &&
                      crypto::AesKeyWrap(kek, contentKey, wrapped);
    *epk = R"("epk":{"kty":"EC","crv":"P-256","x":")" + Base64Url(x) + R"(","y":")" + Base64Url(y) +
           R"("})";
    return done;
}

}  // namespace

std::string Base64Url(const uint8_t* data, size_t size) {
    std::string text;
    if (size > 0x7fffffff) return text;
    text = Base64Encode(data, static_cast<int32_t>(size));
    for (char& c : text) {
        if (c == '+') c = '-';
        if (c == '/') c = '_';
    }
    return text;
}

std::string Base64Url(const std::string& text) {
    return Base64Url(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

std::string KeyThumbprint(const crypto::PublicKey& key) {
    crypto::Bytes first, second;
    if (!crypto::KeyComponents(key, &first, &second)) return "";
    // The required members only, in lexicographic order, without white space.
    const std::string jwk = crypto::TypeOf(key) == crypto::KeyType::kRsa
                                ? R"({"e":")" + Base64Url(second) + R"(","kty":"RSA","n":")" +
                                      Base64Url(first) + R"("})"
                                : R"({"crv":"P-256","kty":"EC","x":")" + Base64Url(first) +
                                      R"(","y":")" + Base64Url(second) + R"("})";
    const crypto::Bytes digest = crypto::Sha256(jwk.data(), jwk.size());
    return digest.empty() ? "" : Base64Url(digest);
}

std::string SealCompactJwe(const crypto::PublicKey& recipient, const std::string& contentType,
                           const std::string& plaintext) {
    const std::string kid = KeyThumbprint(recipient);
    crypto::Bytes contentKey, iv, wrapped, cipher, tag;
    if (kid.empty() || !crypto::RandomBytes(&contentKey, 32) || !crypto::RandomBytes(&iv, 12)) {
        return "";
    }
    std::string header;
    if (crypto::TypeOf(recipient) == crypto::KeyType::kRsa) {
        if (!crypto::RsaOaepSha256Encrypt(recipient, contentKey, &wrapped)) return "";
        header = R"({"alg":"RSA-OAEP-256","enc":"A256GCM","kid":")" + kid + R"(","cty":")" +
                 contentType + R"("})";
    } else {
        std::string epk;
        if (!WrapForEcdh(recipient, contentKey, &wrapped, &epk)) return "";
        header = R"({"alg":"ECDH-ES+A256KW","enc":"A256GCM","kid":")" + kid + R"(","cty":")" +
                 contentType + R"(",)" + epk + "}";
    }
    const std::string protectedHeader = Base64Url(header);
    if (!crypto::AesGcmEncrypt(contentKey, iv, protectedHeader, plaintext, &cipher, &tag)) {
        return "";
    }
    std::string jwe;
    jwe.reserve(protectedHeader.size() + (wrapped.size() + iv.size() + cipher.size()) * 4 / 3 + 64);
    jwe += protectedHeader;
    jwe += '.';
    jwe += Base64Url(wrapped);
    jwe += '.';
    jwe += Base64Url(iv);
    jwe += '.';
    jwe += Base64Url(cipher);
    jwe += '.';
    jwe += Base64Url(tag);
    return jwe;
}
