// The WebSocket opening handshake: our own SHA-1 (FIPS 180-4) and padded
// Base64 (RFC 4648), and the fixed 101 response.
#include "link/handshake.h"

#include <cstring>

namespace {

const char kWebSocketGuid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

uint32_t RotateLeft(uint32_t value, int bits) {
    return (value << bits) | (value >> (32 - bits));
}

void Sha1Block(uint32_t state[5], const uint8_t block[64]) {
    uint32_t w[80];
    for (int i = 0; i < 16; ++i)
        w[i] = (uint32_t{block[4 * i]} << 24) | (uint32_t{block[4 * i + 1]} << 16) |
               (uint32_t{block[4 * i + 2]} << 8) | uint32_t{block[4 * i + 3]};
    for (int i = 16; i < 80; ++i) w[i] = RotateLeft(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    for (int i = 0; i < 80; ++i) {
        uint32_t f, k;
        if (i < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        } else if (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (i < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        uint32_t t = RotateLeft(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = RotateLeft(b, 30);
        b = a;
        a = t;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
}

}  // namespace

std::array<uint8_t, 20> Sha1(const void* data, size_t size) {
    uint32_t state[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    const uint8_t* p = static_cast<const uint8_t*>(data);
    size_t left = size;
    while (left >= 64) {
        Sha1Block(state, p);
        p += 64;
        left -= 64;
    }
    // The tail, the 0x80 marker and the 64-bit message length in bits, in one
    // or two final blocks.
    uint8_t tail[128] = {};
    if (left > 0) memcpy(tail, p, left);
    tail[left] = 0x80;
    size_t tailSize = left + 1 + 8 <= 64 ? 64 : 128;
    uint64_t bits = static_cast<uint64_t>(size) * 8;
    for (int i = 0; i < 8; ++i) tail[tailSize - 1 - i] = static_cast<uint8_t>(bits >> (8 * i));
    Sha1Block(state, tail);
    if (tailSize == 128) Sha1Block(state, tail + 64);

    std::array<uint8_t, 20> digest;
    for (int i = 0; i < 5; ++i)
        for (int j = 0; j < 4; ++j)
            digest[4 * i + j] = static_cast<uint8_t>(state[i] >> (24 - 8 * j));
    return digest;
}

std::string Base64EncodePadded(const void* data, size_t size) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const uint8_t* p = static_cast<const uint8_t*>(data);
    std::string out;
    out.reserve((size + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        uint32_t v = (uint32_t{p[i]} << 16) | (uint32_t{p[i + 1]} << 8) | p[i + 2];
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    if (size - i == 1) {
        uint32_t v = uint32_t{p[i]} << 16;
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += "==";
    } else if (size - i == 2) {
        uint32_t v = (uint32_t{p[i]} << 16) | (uint32_t{p[i + 1]} << 8);
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

std::string BuildHandshakeResponse(const std::string& requestBytes) {
    // The request is a C text: it ends at its first NUL byte.
    const std::string request(requestBytes.c_str());
    size_t at = request.find("Key: ");
    if (at == std::string::npos) return "";
    // The key is cut by count, not at the line end: a standard key is exactly
    // 24 characters, and nothing of the line end is taken with it.
    std::string key = request.substr(at + 5, 24) + kWebSocketGuid;
    std::array<uint8_t, 20> digest = Sha1(key.data(), key.size());
    return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: "
           "Upgrade\r\nSec-WebSocket-Accept: " +
           Base64EncodePadded(digest.data(), digest.size()) + "\r\n\r\n";
}

std::string AnswerHandshakeRequest(const char* request, long received) {
    const size_t length = received > 0 ? strnlen(request, static_cast<size_t>(received)) : 0;
    const std::string text(request, length);
    // No key header, or one without the blank after its colon, from which no
    // accept value can be made: refused.
    if (text.find("Sec-WebSocket-Key:") == std::string::npos) return "";
    return BuildHandshakeResponse(text);
}
