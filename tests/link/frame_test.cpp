// The frame decoder on the service's 1024-byte receive buffer, and the frames
// the service sends, read back from a real socket.
#include "link/frame.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tests/support/raw_client.h"

namespace {

struct Decoded {
    int result;
    std::string payload;
};

// Decodes `bytes` as the session does: copied into a zero-filled buffer.
Decoded Decode(const std::string& bytes, std::vector<uint8_t> payload = {}) {
    uint8_t buffer[kReceiveBufferSize] = {};
    memcpy(buffer, bytes.data(), std::min(bytes.size(), sizeof buffer));
    int result = DecodeFrame(buffer, payload);
    return {result, std::string(payload.begin(), payload.end())};
}

TEST(DecodeFrame, ReturnsThePayloadOfMaskedAndUnmaskedFrames) {
    const std::string text = "{\"typeName\":\"TavoStartSign\"}";
    EXPECT_EQ(Decode(ClientFrame(1, text, true)).payload, text);
    EXPECT_EQ(Decode(ClientFrame(1, text, false)).payload, text);
    EXPECT_EQ(Decode(ClientFrame(1, text, true)).result, 0);
    // Every opcode but close is data: binary, ping, continuation, reserved.
    for (uint8_t opcode : {0, 2, 9, 10, 3, 15}) {
        Decoded d = Decode(ClientFrame(opcode, "ping!", true));
        EXPECT_EQ(d.result, 0) << int{opcode};
        EXPECT_EQ(d.payload, "ping!") << int{opcode};
    }
    // Only the frame at the start counts; what follows is not looked at.
    EXPECT_EQ(Decode(ClientFrame(1, "one") + ClientFrame(1, "two")).payload, "one");
    // An empty frame decodes to an empty payload.
    Decoded empty = Decode(ClientFrame(1, "", true), {'x'});
    EXPECT_EQ(empty.result, 0);
    EXPECT_EQ(empty.payload, "");
}

TEST(DecodeFrame, ReportsCloseWithItsPayload) {
    Decoded d = Decode(ClientFrame(8, std::string("\x03\xe8", 2), true));
    EXPECT_EQ(d.result, -1);
    EXPECT_EQ(d.payload, std::string("\x03\xe8", 2));
    EXPECT_EQ(Decode(ClientFrame(8, "", false)).result, -1);
}

TEST(DecodeFrame, RefusesFramesLargerThanTheBuffer) {
    // Masked with a 16-bit length: 4 + 4 + 1016 bytes fill the buffer exactly.
    Decoded fits = Decode(ClientFrame(1, std::string(1016, 'a'), true));
    EXPECT_EQ(fits.result, 0);
    EXPECT_EQ(fits.payload, std::string(1016, 'a'));
    EXPECT_EQ(Decode(ClientFrame(1, std::string(1017, 'a'), true), {'k'}).payload, "k");
    EXPECT_EQ(Decode(ClientFrame(1, std::string(1017, 'a'), true)).result, -2);
    // Unmasked: 4 + 1020.
    EXPECT_EQ(Decode(ClientFrame(1, std::string(1020, 'b'), false)).result, 0);
    EXPECT_EQ(Decode(ClientFrame(1, std::string(1021, 'b'), false)).result, -2);
    // A small payload announced with the 64-bit length form still fits.
    EXPECT_EQ(Decode(ClientFrame(1, "abc", true, 0x01020304, 127)).payload, "abc");
    // 64-bit lengths beyond the buffer, the top bit included, never wrap
    // around; 10 + 4 + 1010 is the largest that fits.
    for (uint64_t length : {~uint64_t{0}, uint64_t{1} << 63, uint64_t{65536}, uint64_t{1011}}) {
        std::string frame = ClientFrame(1, "", true, 0, 127);
        for (int i = 0; i < 8; ++i) frame[2 + i] = static_cast<char>(length >> (56 - 8 * i));
        EXPECT_EQ(Decode(frame).result, -2) << length;
    }
    std::string largest = ClientFrame(1, "", true, 0, 127);
    largest[8] = static_cast<char>(1010 >> 8);
    largest[9] = static_cast<char>(1010 & 0xFF);
    EXPECT_EQ(Decode(largest).payload.size(), 1010u);
}

// The session cuts the stream with FrameSize and decodes with DecodeFrame:
// the two must agree on every frame's length, whichever form announces it.
// A 16-bit length of 126 or 127 is a length like any other, not a second
// length code.
TEST(FrameSize, AgreesWithDecodeFrameForEveryLength) {
    for (int lengthCode : {0, 126, 127}) {
        for (bool masked : {true, false}) {
            for (size_t length = 0; length <= 1030; ++length) {
                if (lengthCode == 0 && length > 125) break;
                const std::string frame =
                    ClientFrame(1, std::string(length, 'x'), masked, 0x01020304, lengthCode);
                uint8_t buffer[kReceiveBufferSize] = {};
                memcpy(buffer, frame.data(), std::min(frame.size(), sizeof buffer));
                std::vector<uint8_t> payload;
                const int result = DecodeFrame(buffer, payload);
                const uint64_t size = FrameSize(buffer, sizeof buffer);
                SCOPED_TRACE(testing::Message() << lengthCode << " " << masked << " " << length);
                if (frame.size() <= kReceiveBufferSize) {
                    EXPECT_EQ(result, 0);
                    EXPECT_EQ(payload.size(), length);
                    EXPECT_EQ(size, frame.size());
                } else {
                    EXPECT_EQ(result, -2);
                    EXPECT_GT(size, kReceiveBufferSize);
                }
            }
        }
    }
}

TEST(DecodeFrame, ReadsMissingBytesAsZero) {
    const std::string full = ClientFrame(1, "abcdefgh", false);
    EXPECT_EQ(Decode(full.substr(0, 6)).payload, std::string("abcd\0\0\0\0", 8));
    // Masked, the missing positions come out as the key's bytes.
    const std::string masked = ClientFrame(1, "abcdefgh", true, 0x11223344);
    EXPECT_EQ(Decode(masked.substr(0, 8)).payload, std::string("ab") + "\x33\x44\x11\x22\x33\x44");
    // Nothing received at all: an empty frame.
    Decoded nothing = Decode("");
    EXPECT_EQ(nothing.result, 0);
    EXPECT_EQ(nothing.payload, "");
}

// A connected pair of loopback sockets.
struct SocketPair {
    SocketPair() {
        platform::Socket listener = platform::Listen("127.0.0.1", 0, 1);
        client = platform::Connect("127.0.0.1", platform::LocalPort(listener));
        server = platform::Accept(listener);
        platform::CloseSocket(listener);
    }
    ~SocketPair() {
        platform::CloseSocket(client);
        platform::CloseSocket(server);
    }
    std::string Read(size_t count) {
        std::string out(count, '\0');
        size_t got = 0;
        while (got < count) {
            long n = platform::Receive(client, &out[got], count - got);
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
        out.resize(got);
        return out;
    }
    platform::Socket client, server;
};

TEST(SendTextFrame, WritesTheHeaderOfEachLengthClass) {
    const std::pair<size_t, std::string> rows[] = {
        {0, std::string("\x81\x00", 2)},
        {125, "\x81\x7D"},
        {126, std::string("\x81\x7E\x00\x7E", 4)},
        {65535, "\x81\x7E\xFF\xFF"},
        {65536, std::string("\x81\x7F\x00\x00\x00\x00\x00\x01\x00\x00", 10)},
        {70000, std::string("\x81\x7F\x00\x00\x00\x00\x00\x01\x11\x70", 10)},
    };
    for (const auto& [size, header] : rows) {
        SocketPair pair;
        std::string text(size, 'x');
        for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + i % 26);
        bool sent = false;
        std::thread sender([&] { sent = SendTextFrame(pair.server, text); });
        EXPECT_EQ(pair.Read(header.size()), header) << size;
        EXPECT_EQ(pair.Read(size), text) << size;
        sender.join();
        EXPECT_TRUE(sent);
    }
}

TEST(SendTextFrame, ConcurrentSendersNeverInterleave) {
    SocketPair pair;
    constexpr int kThreads = 4, kEach = 50;
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t)
        senders.emplace_back([&, t] {
            // Large enough that one frame takes several writes to go out.
            std::string text(100000 + t, static_cast<char>('A' + t));
            for (int i = 0; i < kEach; ++i) SendTextFrame(pair.server, text);
        });
    int counts[kThreads] = {};
    for (int i = 0; i < kThreads * kEach; ++i) {
        std::string header = pair.Read(10);
        ASSERT_EQ(header.size(), 10u);
        ASSERT_EQ(static_cast<uint8_t>(header[1]), 127);
        size_t n = (static_cast<uint8_t>(header[8]) << 8 | static_cast<uint8_t>(header[9])) +
                   (static_cast<size_t>(static_cast<uint8_t>(header[7])) << 16);
        std::string payload = pair.Read(n);
        ASSERT_EQ(payload.size(), n);
        int t = static_cast<int>(n - 100000);
        ASSERT_TRUE(t >= 0 && t < kThreads);
        ASSERT_EQ(payload, std::string(n, static_cast<char>('A' + t)));
        ++counts[t];
    }
    for (auto& s : senders) s.join();
    for (int c : counts) EXPECT_EQ(c, kEach);
}

TEST(SendTextFrame, ReportsAFailedSend) {
    SocketPair pair;
    platform::CloseSocket(pair.client);
    pair.client = platform::kInvalidSocket;
    // The peer is gone: sooner or later a send fails, without a signal.
    bool failed = false;
    for (int i = 0; i < 100 && !failed; ++i) failed = !SendTextFrame(pair.server, "hello");
    EXPECT_TRUE(failed);
}

}  // namespace
