// Sealed signature evidence: what a page asks for with "sealto" (and
// "document", "who", "why") in the message of a start command, and the
// plaintext that is sealed to that key at OK. The seal itself is pad/jwe.h.
#pragma once

#include <memory>
#include <string>

#include "commands/json.h"
#include "crypto/crypto.h"

// The `cty` of the evidence's JWE, and the version of its plaintext's form.
inline constexpr const char* kEvidenceContentType = "vnd.penmora.evidence+json";
constexpr int kEvidenceVersion = 1;
// The longest "who" and "why", in characters.
constexpr size_t kEvidenceTextLimit = 1024;

struct EvidenceRequest {
    crypto::PublicKeyPtr sealTo;
    // As the page gave them; "document" in hex, the texts in UTF-8. `has...`
    // tells an absent member from an empty one.
    std::string document, who, why;
    bool hasDocument = false, hasWho = false, hasWhy = false;
};
using EvidenceRequestPtr = std::shared_ptr<const EvidenceRequest>;

// Reads the evidence members of a start command's "message", parsed from the
// UTF-8 text the page sent. Without "sealto": null and `error` empty, whatever the
// other members hold. With it: the request, or null and `error` a sentence
// that begins with the name of the first bad member.
EvidenceRequestPtr ReadEvidenceRequest(const JsonDocument& message, std::string* error);

// The whole "TavoEvidenceError" message for `error`.
std::string EvidenceErrorMessage(const std::string& error);

// The facts sealed besides the request: the service's UTC time at OK, the
// SHA-256 of the delivered PNG in hex, the pad's serial number ("" when it
// has none) and the pen record (the text "TavoSignData" would carry).
struct EvidenceFacts {
    std::string okUtc, pngSha256, padSerial, record;
};
// The plaintext JSON of the evidence.
std::string EvidencePlaintext(const EvidenceRequest& request, const EvidenceFacts& facts);

// Lower-case hex of `bytes`.
std::string HexText(const crypto::Bytes& bytes);
