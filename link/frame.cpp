// WebSocket frames: the decoder for what a page sends (one frame at the start
// of a fixed receive buffer) and the encoder for the service's own texts,
// always unmasked final text frames.
#include "link/frame.h"

#include <mutex>

#include "link/connection.h"
#include "link/listener.h"

namespace {

constexpr uint8_t kCloseOpcode = 8;

uint64_t BigEndian(const uint8_t* bytes, int count) {
    uint64_t value = 0;
    for (int i = 0; i < count; ++i) value = (value << 8) | bytes[i];
    return value;
}

// Header of an unmasked final text frame for a payload of `n` bytes.
size_t BuildHeader(uint64_t n, uint8_t* header) {
    header[0] = 0x81;
    if (n <= 125) {
        header[1] = static_cast<uint8_t>(n);
        return 2;
    }
    if (n <= 0xFFFF) {
        header[1] = 126;
        header[2] = static_cast<uint8_t>(n >> 8);
        header[3] = static_cast<uint8_t>(n);
        return 4;
    }
    header[1] = 127;
    // The upper four bytes stay zero: no message comes near 4 GiB.
    header[2] = header[3] = header[4] = header[5] = 0;
    for (int i = 0; i < 4; ++i) header[6 + i] = static_cast<uint8_t>(n >> (24 - 8 * i));
    return 10;
}

// Two sends for a socket without a Connection: the header, then the payload
// straight from the caller's text.
bool SendHeaderAndPayload(platform::Socket socket, const std::string& text) {
    uint8_t header[10];
    size_t headerSize = BuildHeader(text.size(), header);
    if (!platform::SendAll(socket, header, headerSize)) return false;
    return platform::SendAll(socket, text.data(), text.size());
}

// Send locks for sockets that have no Connection (the demo's control
// endpoint). A socket always maps to the same lock.
std::mutex& StripeFor(platform::Socket socket) {
    static std::mutex stripes[32];
    return stripes[static_cast<unsigned>(socket) % 32];
}

}  // namespace

int DecodeFrame(const uint8_t* buffer, std::vector<uint8_t>& payload) {
    const uint8_t opcode = buffer[0] & 0x0F;
    const bool masked = (buffer[1] & 0x80) != 0;
    uint64_t length = buffer[1] & 0x7F;
    size_t header = 2;
    if (length == 126) {
        length = BigEndian(buffer + 2, 2);
        header = 4;
    } else if (length == 127) {
        length = BigEndian(buffer + 2, 8);
        header = 10;
    }
    const uint8_t* key = buffer + header;
    if (masked) header += 4;
    if (length > kReceiveBufferSize - header) return -2;

    payload.clear();
    const uint8_t* data = buffer + header;
    if (masked) {
        payload.resize(length);
        for (size_t i = 0; i < length; ++i) payload[i] = data[i] ^ key[i % 4];
    } else {
        payload.assign(data, data + length);
    }
    return opcode == kCloseOpcode ? -1 : 0;
}

uint64_t FrameSize(const uint8_t* bytes, size_t available) {
    if (available < 2) return 0;
    uint64_t length = bytes[1] & 0x7F;
    size_t header = length == 126 ? 4 : length == 127 ? 10 : 2;
    if (bytes[1] & 0x80) header += 4;
    if (available < header) return 0;
    if (length == 126) {
        length = BigEndian(bytes + 2, 2);
    } else if (length == 127) {
        length = BigEndian(bytes + 2, 8);
    }
    if (length > kReceiveBufferSize - header) return kReceiveBufferSize + 1;
    return header + length;
}

std::string TextFrame(const std::string& text) {
    uint8_t header[10];
    const size_t headerSize = BuildHeader(text.size(), header);
    std::string frame;
    frame.reserve(headerSize + text.size());
    frame.append(reinterpret_cast<const char*>(header), headerSize);
    frame += text;
    return frame;
}

bool SendTextFrame(platform::Socket socket, const std::string& text) {
    std::lock_guard<std::mutex> lock(StripeFor(socket));
    return SendHeaderAndPayload(socket, text);
}

void SendTextMessage(const std::string& text) {
    ConnectionPtr active = ActiveClient();
    if (active) SendFrame(*active, text);
}
