// Fuzz target: the text of a page's "sealto" member, as the key parser reads
// it (PEM or Base64 DER of a SubjectPublicKeyInfo). A key it accepts must be
// RSA of an accepted size or P-256, have a 43-character thumbprint, and seal a
// small plaintext into a compact JWE of five parts; one it refuses must say
// why.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "crypto/crypto.h"
#include "pad/evidence.h"
#include "pad/jwe.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A command frame holds at most 1024 bytes; a little more keeps the
    // parser's own bound in reach.
    if (size > 4096) return 0;
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string error;
    const crypto::PublicKeyPtr key = crypto::ParsePublicKey(text, &error);
    if (!key) {
        if (error.empty()) abort();
        return 0;
    }
    if (!error.empty()) abort();
    if (KeyThumbprint(*key).size() != 43) abort();
    const std::string jwe = SealCompactJwe(*key, kEvidenceContentType, "{\"v\":1}");
    size_t dots = 0;
    for (char c : jwe) dots += c == '.';
    if (dots != 4) abort();
    return 0;
}
