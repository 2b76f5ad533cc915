// The handshake's building blocks against published vectors, and the answer
// the service gives to the requests pages send.
#include "link/handshake.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Hex(const std::array<uint8_t, 20>& digest) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : digest) {
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

std::string Sha1Hex(const std::string& text) {
    return Hex(Sha1(text.data(), text.size()));
}

std::string Response(const std::string& accept) {
    return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: "
           "Upgrade\r\nSec-WebSocket-Accept: " +
           accept + "\r\n\r\n";
}

TEST(Sha1, MatchesTheFips180Vectors) {
    EXPECT_EQ(Sha1Hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(Sha1Hex(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    // 56 bytes: the length no longer fits the first block's tail.
    EXPECT_EQ(Sha1Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(
        Sha1Hex("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopq"
                "klmnopqrlmnopqrsmnopqrstnopqrstu"),
        "a49b2446a02c645bf419f995b67091253a04a259");
    EXPECT_EQ(Sha1Hex(std::string(1000000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST(Base64Padded, MatchesTheRfc4648Vectors) {
    const std::pair<std::string, std::string> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [in, out] : vectors) EXPECT_EQ(Base64EncodePadded(in.data(), in.size()), out);
    const uint8_t high[] = {0xFB, 0xFF, 0xBF};
    EXPECT_EQ(Base64EncodePadded(high, 3), "+/+/");
}

TEST(HandshakeResponse, AnswersTheSampleKeyOfTheStandard) {
    const std::string response = BuildHandshakeResponse(
        "GET /chat HTTP/1.1\r\nHost: server.example.com\r\nUpgrade: websocket\r\n"
        "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
        "Sec-WebSocket-Version: 13\r\n\r\n");
    EXPECT_EQ(response, Response("s3pPLMBiTxaQ9kYGzzhZRbK+xOo="));
    EXPECT_EQ(response.size(), 129u);
}

TEST(HandshakeResponse, CutsTheKeyByCountAtTheFirstKeyColonBlank) {
    const std::string expected = Response("s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
    // Whatever follows the 24 characters is not part of the key.
    EXPECT_EQ(BuildHandshakeResponse("Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==XYZ"), expected);
    // Any "Key: " counts, the first one wins.
    EXPECT_EQ(BuildHandshakeResponse("Key: dGhlIHNhbXBsZSBub25jZQ==\r\nKey: other"), expected);
    // A key cut short by the end of the text is taken as it is.
    const std::string shortKey = std::string("abc") + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    const auto digest = Sha1(shortKey.data(), shortKey.size());
    EXPECT_EQ(BuildHandshakeResponse("Sec-WebSocket-Key: abc"),
              Response(Base64EncodePadded(digest.data(), digest.size())));
}

TEST(HandshakeResponse, GivesNothingWithoutKeyColonBlank) {
    EXPECT_EQ(BuildHandshakeResponse("Sec-WebSocket-Key:dGhlIHNhbXBsZSBub25jZQ=="), "");
    EXPECT_EQ(BuildHandshakeResponse(""), "");
    // The request is a C text: what follows a NUL byte is not looked at.
    EXPECT_EQ(BuildHandshakeResponse(std::string("GET /\0Sec-WebSocket-Key: x", 27)), "");
}

TEST(HandshakeAnswer, NeedsTheKeyHeaderWithinTheBytesReceived) {
    const std::string request =
        "GET / HTTP/1.1\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
    const std::string expected = Response("s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
    EXPECT_EQ(AnswerHandshakeRequest(request.data(), long(request.size())), expected);
    // Only the bytes received count, and only up to a NUL byte.
    EXPECT_EQ(AnswerHandshakeRequest(request.data(), 30), "");
    const std::string withNul = std::string("GET /\0", 6) + request;
    EXPECT_EQ(AnswerHandshakeRequest(withNul.data(), long(withNul.size())), "");
    // A failed or empty receive, and "Key: " without the header's name.
    EXPECT_EQ(AnswerHandshakeRequest(request.data(), -1), "");
    EXPECT_EQ(AnswerHandshakeRequest(request.data(), 0), "");
    const std::string bare = "Key: dGhlIHNhbXBsZSBub25jZQ==";
    EXPECT_EQ(AnswerHandshakeRequest(bare.data(), long(bare.size())), "");
}

}  // namespace
