// WebSocket frames: decoding what a page sends, sending the service's texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

constexpr size_t kReceiveBufferSize = 1024;

// Decodes the frame at the start of a kReceiveBufferSize-byte buffer.
// 0: a frame other than close, `payload` holds its unmasked payload;
// -1: a close frame; -2: the frame does not fit the buffer (payload untouched).
int DecodeFrame(const uint8_t* buffer, std::vector<uint8_t>& payload);

// How many bytes the frame at the start of `bytes` occupies, header and
// payload, once its header is among the `available` bytes; 0 while the header
// is incomplete. A frame larger than kReceiveBufferSize gives a value above it.
uint64_t FrameSize(const uint8_t* bytes, size_t available);

// The bytes of one unmasked final text frame holding `text`: header, then
// payload.
std::string TextFrame(const std::string& text);

// Queues `text` (already UTF-8) as one unmasked text frame to the active
// client and returns at once. Safe from any thread: frames of concurrent
// senders never interleave. Nothing is sent when there is no active client or
// it has been closed.
void SendTextMessage(const std::string& text);

// Sends `text` as one unmasked text frame (header, then payload) on a socket
// that is not a client connection of the service, such as the demo's control
// endpoint. Concurrent calls for one socket never interleave their frames.
// True when the whole frame was sent.
bool SendTextFrame(platform::Socket socket, const std::string& text);
