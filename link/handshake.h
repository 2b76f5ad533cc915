// The WebSocket opening handshake: the accept value (SHA-1 and padded Base64)
// and the service's answer to a page's request.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// SHA-1 digest of `size` bytes.
std::array<uint8_t, 20> Sha1(const void* data, size_t size);

// Base64 with the standard alphabet and "=" padding. (Image messages use
// their own encoder without padding.)
std::string Base64EncodePadded(const void* data, size_t size);

// The 101 answer to a request that holds "Key: " followed by the key: the up
// to 24 characters after the first "Key: " are the key. Empty when the
// request holds no "Key: ", since no accept value can be made then.
std::string BuildHandshakeResponse(const std::string& request);

// What the service answers to the first receive of a connection: `received`
// bytes of `request` (negative when the receive failed). The request is a C
// text that ends at its first NUL byte; it must hold a "Sec-WebSocket-Key:"
// header and "Key: " for an answer. Empty when the connection is refused
// without a reply.
std::string AnswerHandshakeRequest(const char* request, long received);
