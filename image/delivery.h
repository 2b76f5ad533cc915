// Delivery of image files to the page as Base64 inside a JSON message.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum ImageMessageForm : int {
    kSignForm = 0,        // "TavoSignBase64"
    kFingerForm = 1,      // "TavoFingerBase64"
    kSignFingerForm = 2,  // "TavoSignFBase64"
};

// The keyword of the PNG's iTXt chunk that carries the sealed evidence.
inline constexpr const char* kEvidenceKeyword = "penmora-evidence";

// Seals the evidence of a signature whose PNG file holds `png`: returns the
// evidence (sent to the page already) to be carried in the picture, or "".
using SignatureSealer = std::string (*)(const std::vector<uint8_t>& png);

// Writes the Canvas as sign.bmp and sign.png beside the executable and, when no
// fingerprint follows, sends the PNG to the page ("TavoSignBase64"). With a
// `sealer`, the PNG's bytes are sealed first and the picture sent carries the
// evidence in an iTXt chunk of kEvidenceKeyword, before IEND; the PNG's other
// bytes are the same.
void DeliverSignature(SignatureSealer sealer = nullptr);
// Adds an uncompressed iTXt chunk (no language, no translated keyword) just
// before the IEND chunk that ends `png`. False, `png` untouched, when it does
// not end in IEND or the keyword is not 1 to 79 Latin-1 characters.
bool AddPngTextChunk(std::vector<uint8_t>& png, const std::string& keyword,
                     const std::string& utf8Text);
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
