// Delivery of image files to the page as Base64 inside a JSON message.
#pragma once

#include <cstdint>
#include <string>

enum ImageMessageForm : int {
    kSignForm = 0,        // "TavoSignBase64"
    kFingerForm = 1,      // "TavoFingerBase64"
    kSignFingerForm = 2,  // "TavoSignFBase64"
};

// Writes the Canvas as sign.bmp and sign.png beside the executable and, when no
// fingerprint follows, sends the PNG to the page ("TavoSignBase64").
void DeliverSignature();
// Writes the Canvas as a 24-bit bottom-up BMP file (the sign.bmp of a
// delivery). True when the whole file was written; failures are logged.
bool WriteCanvasBmp(const std::string& path);
// Reads `path` and sends it as one image message of `form`.
void SendImageFile(const std::string& path, int form);
// Standard Base64 without "=" padding.
std::string Base64Encode(const uint8_t* data, int32_t count);
// The path of sign.png that the last DeliverSignature made and kept for the
// fingerprint (CaptureMode set); "" when its delivery did not make one or,
// sending it, deleted it.
std::string SignPngPath();
