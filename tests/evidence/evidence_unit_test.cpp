// The parts of the sealed evidence in-process: the key parser's verdicts, the
// RFC 7638 thumbprint, Base64url, the request members' refusals, the
// plaintext's form and the PNG's iTXt chunk as libpng reads it back.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <png.h>

#include <cstring>
#include <string>
#include <vector>

#include "commands/json.h"
#include "image/delivery.h"
#include "pad/evidence.h"
#include "pad/jwe.h"

namespace {

// RFC 7638 section 3.1's RSA key, as SubjectPublicKeyInfo.
const char kRfc7638Key[] =
    "-----BEGIN PUBLIC KEY-----\n"
    "MIIBIjANBgkqhkiG9w0BAQEFAAOCAQ8AMIIBCgKCAQEA0vx7agoebGcQSuuPiLJX\n"
    "ZptN9nndrQmbXEps2aiAFbWhM78LhWx4cbbfAAtVT86zwu1RK7aPFFxuhDR1L6tS\n"
    "oc/BJECPebWKRXjBZCiFV4n3oknjhMstn64tZ/2W+5JsGY4Hc5n9yBXArwl93lqt\n"
    "7/RN5w6Cf0h4QyQ5v+65YGjQR0/FDW2QvzqY368QQMicAtaSqzs8KJZgnYb9c7d0\n"
    "zgdAZHzu6qMQvRL5hajrn1n91CbOpbISD08qNLyrdkt+bFTWhAI4vMQFh6WeZu0f\n"
    "M4lFd2NcRwr3XPksINHaQ+G/xBniIqbw0Ls1jF44+csFCur+kEgU8awapJzKnqDK\n"
    "gwIDAQAB\n"
    "-----END PUBLIC KEY-----\n";
// The same key's DER in Base64 on one line, and a P-256 key.
std::string Rfc7638Base64() {
    std::string text;
    for (const char* p = kRfc7638Key; *p; ++p) text += *p;
    const size_t begin = text.find('\n') + 1;
    const size_t end = text.find("-----END");
    std::string body;
    for (char c : text.substr(begin, end - begin)) {
        if (c != '\n') body += c;
    }
    return body;
}
const char kP256Key[] =
    "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEMKBCTNIcKUSDii11ySs3526iDZ8AiTo7Tu6KPAqv7D7gS2XpJFbZiItSs3"
    "m9+9Ue6GnvHw/GW2ZZaVtszggXIw==";
// RSA 1024 bits.
const char kRsa1024Key[] =
    "MIGfMA0GCSqGSIb3DQEBAQUAA4GNADCBiQKBgQDCFENGw33yGihy92pDjZQhl0C36rPJj+CvfSC8+"
    "q28hxA161QFNUd13wuCTUcq0Qd2qsBe/2hFyc2DCJJg0h1L78+6Z4UMR7EOcpfdUE9Hf3m/"
    "hs+FUR45uBJeDK1HSFHD8bHKD6kv8FPGfJTotc+2xjJwoYi+1hqp1fIekaxsyQIDAQAB";

// An RSA key whose modulus is even: it parses, but nothing could be
// encrypted to it.
const char kEvenModulusKey[] =
    "-----BEGIN PUBLIC KEY-----\n"
    "MIIBIjANBgkqhkiG9w0BAQEFAAOCAQ8AMIIBCgKCAQEAlgKCb/DiEgvInvJHgZtk\n"
    "MKUKgyQcEJ1n2jjn02chqDDHkPkSr0cpq50sx5pbi+3iH0DoqcTrlK3Sz0705rXF\n"
    "Pu7C6CkER/cRomOLCDi8oWvsBz+z3k+6hJM19CQSWYn8AcG8KoL4CDLAsWyswaie\n"
    "NOViCYqMgUZwcSO8tGyCoX/so+w5jccUGiZOsze56wRq+Xk2vfOStTcODV3Cwsin\n"
    "J9vs680E/NRbM2ED+Zs7TTKP+33cD5WhFtyJ2TdQEZ9z8/FEW3MhUM70CwtZ+p8/\n"
    "JAy9PfEhIWwnZHVLlLsYPKOtsd7WN8bJyQx0kBR/II5/7q4toZj1CxTvuWts3UJh\n"
    "FAIDAQAB\n"
    "-----END PUBLIC KEY-----\n";

std::string Message(const std::string& members) {
    return "{" + members + "}";
}

std::string Refusal(const std::string& members) {
    std::string error;
    const EvidenceRequestPtr request = ReadEvidenceRequest(ParseJson(Message(members)), &error);
    if (!error.empty()) {
        EXPECT_EQ(request, nullptr);
    }
    return error;
}

TEST(EvidenceKey, ParsesPemAndBase64DerOfOneKeyAlike) {
    std::string error;
    const crypto::PublicKeyPtr pem = crypto::ParsePublicKey(kRfc7638Key, &error);
    ASSERT_TRUE(pem) << error;
    const crypto::PublicKeyPtr der = crypto::ParsePublicKey(Rfc7638Base64(), &error);
    ASSERT_TRUE(der) << error;
    EXPECT_EQ(crypto::TypeOf(*pem), crypto::KeyType::kRsa);
    // RFC 7638 section 3.1's result.
    EXPECT_EQ(KeyThumbprint(*pem), "NzbLsXh8uDCcd-6MNwXF4W_7noWXFZAfHkxZsRGC9Xs");
    EXPECT_EQ(KeyThumbprint(*der), KeyThumbprint(*pem));
}

TEST(EvidenceKey, RefusesWhatIsNotAnAcceptedKey) {
    std::string error;
    EXPECT_FALSE(crypto::ParsePublicKey("", &error));
    EXPECT_NE(error.find("not a public key"), std::string::npos);
    EXPECT_FALSE(crypto::ParsePublicKey(Rfc7638Base64().substr(4), &error));
    EXPECT_FALSE(crypto::ParsePublicKey(Rfc7638Base64() + "AAAA", &error));  // bytes after
    EXPECT_FALSE(crypto::ParsePublicKey(kRsa1024Key, &error));
    EXPECT_EQ(error, "an RSA key of 1024 bits; 2048 to 16384 are accepted");
    EXPECT_FALSE(crypto::ParsePublicKey(kEvenModulusKey, &error));
    EXPECT_EQ(error, "a key that fails the public-key checks");
    const crypto::PublicKeyPtr ec = crypto::ParsePublicKey(kP256Key, &error);
    ASSERT_TRUE(ec) << error;
    EXPECT_EQ(crypto::TypeOf(*ec), crypto::KeyType::kP256);
    EXPECT_EQ(KeyThumbprint(*ec).size(), 43u);
}

TEST(EvidenceJwe, HasFiveBase64UrlPartsAndTheHeaderAsked) {
    std::string error;
    const crypto::PublicKeyPtr key = crypto::ParsePublicKey(kP256Key, &error);
    ASSERT_TRUE(key);
    const std::string jwe = SealCompactJwe(*key, kEvidenceContentType, "{}");
    std::vector<std::string> parts(1);
    for (char c : jwe) {
        if (c == '.') {
            parts.emplace_back();
        } else {
            EXPECT_TRUE(isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_') << c;
            parts.back() += c;
        }
    }
    ASSERT_EQ(parts.size(), 5u);
    EXPECT_EQ(parts[1].size(), 54u);  // a wrapped 256-bit key: 40 bytes
    EXPECT_EQ(parts[2].size(), 16u);  // a 96-bit IV
    EXPECT_EQ(parts[3].size(), 3u);   // two bytes of plaintext
    EXPECT_EQ(parts[4].size(), 22u);  // a 128-bit tag
    EXPECT_NE(SealCompactJwe(*key, kEvidenceContentType, "{}"), jwe);
}

crypto::Bytes FromHex(const std::string& hex) {
    crypto::Bytes bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

TEST(EvidenceCrypto, ConcatKdfGivesRfc7518AppendixC) {
    // The shared secret and the result of RFC 7518 Appendix C (ECDH-ES with
    // "A128GCM", PartyUInfo "Alice", PartyVInfo "Bob").
    const crypto::Bytes z = {158, 86,  217, 29,  129, 113, 53,  211, 114, 131, 66,
                             131, 191, 132, 38,  156, 251, 49,  110, 163, 218, 128,
                             106, 72,  246, 218, 167, 121, 140, 254, 144, 196};
    crypto::Bytes otherInfo;
    for (const std::string part : {"A128GCM", "Alice", "Bob"}) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            otherInfo.push_back(static_cast<uint8_t>(part.size() >> shift));
        }
        otherInfo.insert(otherInfo.end(), part.begin(), part.end());
    }
    for (uint8_t b : {0, 0, 0, 128}) otherInfo.push_back(b);
    crypto::Bytes key;
    ASSERT_TRUE(crypto::ConcatKdfSha256(z, otherInfo, 16, &key));
    EXPECT_EQ(Base64Url(key.data(), key.size()), "VqqN6vgjbSBcIijNcacQGg");
}

TEST(EvidenceCrypto, AesKeyWrapGivesRfc3394Vector) {
    crypto::Bytes kek, wrapped;
    for (int i = 0; i < 32; ++i) kek.push_back(static_cast<uint8_t>(i));
    ASSERT_TRUE(crypto::AesKeyWrap(
        kek, FromHex("00112233445566778899AABBCCDDEEFF000102030405060708090A0B0C0D0E0F"),
        &wrapped));
    EXPECT_EQ(wrapped, FromHex("28C9F404C4B810F4CBCCB35CFB87F8263F5786E2D80ED326CBC7F0E71A99F43BF"
                               "B988B9B7A02DD21"));
}

TEST(EvidenceJwe, Base64UrlHasNoPaddingAndTheUrlAlphabet) {
    const uint8_t bytes[] = {0xfb, 0xff, 0xbf, 0x01};
    EXPECT_EQ(Base64Url(bytes, sizeof bytes), "-_-_AQ");
    EXPECT_EQ(Base64Url(std::string("")), "");
}

TEST(EvidenceRequest, WithoutSealtoNothingIsAskedWhateverElseIsThere) {
    EXPECT_EQ(Refusal(R"("document":"x","who":5,"why":[1])"), "");
    std::string error;
    EXPECT_EQ(ReadEvidenceRequest(ParseJson(R"({"who":"a"})"), &error), nullptr);
    EXPECT_EQ(ReadEvidenceRequest(ParseJson("not json"), &error), nullptr);
    EXPECT_EQ(error, "");
}

TEST(EvidenceRequest, EachBadMemberIsNamed) {
    const std::string key = R"("SEALTO":")" + std::string(kP256Key) + "\"";
    EXPECT_EQ(Refusal(R"("sealto":null)"), "sealto: not a JSON string");
    EXPECT_EQ(Refusal(key + R"(,"document":"ab")"),
              "document: not a SHA-256 in hex (64 hex digits)");
    EXPECT_EQ(Refusal(key + R"(,"Document":")" + std::string(63, 'a') + "g\""),
              "document: not a SHA-256 in hex (64 hex digits)");
    EXPECT_EQ(Refusal(key + R"(,"document":")" + std::string(64, 'A') + "\""), "");
    // 1024 characters of two and three bytes pass; one more does not.
    std::string longest;
    for (int i = 0; i < 512; ++i) longest += u8"\u00e9\u4e2d";
    EXPECT_EQ(Refusal(key + R"(,"who":")" + longest + "\""), "");
    EXPECT_EQ(Refusal(key + R"(,"who":")" + longest + "x\""), "who: longer than 1024 characters");
    EXPECT_EQ(Refusal(key + R"(,"why":")" + std::string(1025, 'w') + "\""),
              "why: longer than 1024 characters");
    EXPECT_EQ(Refusal(key + ",\"who\":\"\xc3\""), "who: not valid UTF-8");
    EXPECT_EQ(Refusal(key + ",\"why\":\"\xed\xa0\x80\""), "why: not valid UTF-8");  // a surrogate
    EXPECT_EQ(Refusal(key + ",\"why\":\"\xc0\xaf\""), "why: not valid UTF-8");      // overlong
}

TEST(EvidenceRequest, TheErrorMessageIsJsonOfItsOwnType) {
    const std::string text = EvidenceErrorMessage("who: a \"quoted\" text");
    EXPECT_EQ(text, R"({"typeName":"TavoEvidenceError","message":"who: a \"quoted\" text"})");
}

TEST(EvidencePlaintext, HoldsEveryFieldAndAbsentMembersAsNull) {
    EvidenceRequest request;
    request.who = u8"Zo\u00eb \"Z\"";
    request.hasWho = true;
    EvidenceFacts facts{"2026-01-02T03:04:05.006Z", std::string(64, 'a'), "", "v=1|1,2,3,4"};
    const JsonDocument plain = ParseJson(EvidencePlaintext(request, facts));
    EXPECT_EQ(GetMemberText(plain, "who"), request.who);
    EXPECT_EQ(PrintMember(plain, "document"), "null");
    EXPECT_EQ(PrintMember(plain, "why"), "null");
    EXPECT_EQ(PrintMember(plain, "version"), "1");
    EXPECT_EQ(GetMemberText(plain, "time"), facts.okUtc);
    EXPECT_EQ(GetMemberText(plain, "record"), facts.record);
    EXPECT_EQ(PrintMember(plain, "pad"), R"({"vendorId":"3f72","productId":"0a01","serial":null})");
}

// libpng's reader collects the texts of a PNG in memory.
struct Reading {
    const std::vector<uint8_t>* png;
    size_t at;
};
void ReadBytes(png_structp png, png_bytep out, png_size_t count) {
    auto* reading = static_cast<Reading*>(png_get_io_ptr(png));
    if (reading->at + count > reading->png->size()) png_error(png, "short");
    memcpy(out, reading->png->data() + reading->at, count);
    reading->at += count;
}

std::vector<std::pair<std::string, std::string>> PngTexts(const std::vector<uint8_t>& bytes) {
    std::vector<std::pair<std::string, std::string>> texts;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    Reading reading{&bytes, 0};
    if (setjmp(png_jmpbuf(png)) == 0) {
        png_set_read_fn(png, &reading, ReadBytes);
        // Reads to IEND: the texts after the image data land in `info` too.
        png_read_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
        png_textp text = nullptr;
        const int count = png_get_text(png, info, &text, nullptr);
        for (int i = 0; i < count; ++i) {
            texts.emplace_back(text[i].key, std::string(text[i].text, text[i].itxt_length));
        }
    } else {
        texts.emplace_back("error", "");
    }
    png_destroy_read_struct(&png, &info, nullptr);
    return texts;
}

// A 1 x 1 gray PNG.
std::vector<uint8_t> TinyPng() {
    return {0x89, 'P',  'N',  'G',  '\r', '\n', 0x1a, '\n', 0,    0,    0,    13,   'I',  'H',
            'D',  'R',  0,    0,    0,    1,    0,    0,    0,    1,    8,    0,    0,    0,
            0,    0x3a, 0x7e, 0x9b, 0x55, 0,    0,    0,    10,   'I',  'D',  'A',  'T',  0x78,
            0x9c, 0x63, 0x60, 0,    0,    0,    2,    0,    1,    0x48, 0xaf, 0xa4, 0x71, 0,
            0,    0,    0,    'I',  'E',  'N',  'D',  0xae, 0x42, 0x60, 0x82};
}

TEST(EvidencePng, TheChunkIsReadBackByLibpngAndLeftOutGivesTheSameBytes) {
    const std::vector<uint8_t> original = TinyPng();
    ASSERT_TRUE(PngTexts(original).empty());
    std::vector<uint8_t> png = original;
    const std::string text = "a.b.c.d.e " + std::string(5000, 'x');
    ASSERT_TRUE(AddPngTextChunk(png, kEvidenceKeyword, text));
    const auto texts = PngTexts(png);
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0].first, kEvidenceKeyword);
    EXPECT_EQ(texts[0].second, text);
    // The chunk sits just before IEND; without it the file is the original.
    const size_t chunkSize = png.size() - original.size();
    EXPECT_EQ(chunkSize, 12 + strlen(kEvidenceKeyword) + 5 + text.size());
    std::vector<uint8_t> without(png.begin(), png.end() - 12 - static_cast<long>(chunkSize));
    without.insert(without.end(), png.end() - 12, png.end());
    EXPECT_EQ(without, original);
}

TEST(EvidencePng, RefusesWhatDoesNotEndInIendAndBadKeywords) {
    std::vector<uint8_t> png = TinyPng();
    png.pop_back();
    EXPECT_FALSE(AddPngTextChunk(png, kEvidenceKeyword, "x"));
    png = TinyPng();
    EXPECT_FALSE(AddPngTextChunk(png, "", "x"));
    EXPECT_FALSE(AddPngTextChunk(png, std::string(80, 'k'), "x"));
    EXPECT_EQ(png, TinyPng());
}

}  // namespace
