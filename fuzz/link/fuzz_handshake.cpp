// Fuzz target: the service's answer to the first receive of a connection, on
// arbitrary bytes in the 1,024-byte buffer the listener receives them into.
// The answer is either nothing (the connection is refused) or the fixed 101
// response whose accept value is the padded Base64 of the SHA-1 of the key
// and the protocol's GUID; a refusal happens exactly when the request lacks
// the key header or "Key: ".
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "commands/json.h"
#include "link/handshake.h"
#include "link/trust.h"

namespace {

// Padded Base64 back to bytes; false on anything but the standard alphabet.
bool DecodeBase64(const std::string& text, std::string& bytes) {
    static const std::string kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (text.size() % 4 != 0) return false;
    uint32_t bits = 0;
    int count = 0;
    size_t padding = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '=') {
            if (i + 2 < text.size()) return false;
            ++padding;
            bits <<= 6;
        } else {
            const size_t value = kAlphabet.find(text[i]);
            if (value == std::string::npos || padding != 0) return false;
            bits = (bits << 6) | static_cast<uint32_t>(value);
        }
        if (++count == 4) {
            bytes += static_cast<char>(bits >> 16);
            bytes += static_cast<char>(bits >> 8);
            bytes += static_cast<char>(bits);
            bits = 0;
            count = 0;
        }
    }
    bytes.resize(bytes.size() - padding);
    return true;
}

// The verdict on a request of this user's, from this computer, with no list:
// trusted only without an Origin or with a page of this computer, and the
// refusal of anything else is one valid JSON "TavoDenied" message.
void CheckVerdict(const std::string& text) {
    PeerFacts facts;
    facts.address = "127.0.0.1";
    facts.loopback = true;
    facts.owner = PeerOwner::ThisUser;
    facts.originHeader = ReadOriginHeader(text, &facts.origin);
    const Judgement judgement = Judge(facts, TrustLists{});
    if (judgement.verdict == Verdict::Trusted &&
        !(facts.originHeader == OriginHeader::Absent || IsLoopbackOrigin(judgement.origin)))
        abort();
    if (!judgement.origin.empty() && judgement.origin != "null" &&
        CanonicalOrigin(judgement.origin, true) != judgement.origin)
        abort();
    if (judgement.verdict == Verdict::Trusted) return;
    const JsonDocument denial = ParseJson(DenialMessage(facts, judgement));
    if (GetMemberText(denial, "typeName") != "TavoDenied" ||
        GetMemberText(denial, "message").empty())
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char request[1024] = {};
    const size_t received = size < sizeof request ? size : sizeof request;
    if (received > 0) memcpy(request, data, received);
    const std::string answer = AnswerHandshakeRequest(request, static_cast<long>(received));

    const std::string text(request, strnlen(request, received));
    CheckVerdict(text);
    const size_t key = text.find("Key: ");
    const bool answerable =
        text.find("Sec-WebSocket-Key:") != std::string::npos && key != std::string::npos;
    if (answer.empty() != !answerable) abort();
    if (answer.empty()) return 0;

    const std::string head =
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: "
        "Upgrade\r\nSec-WebSocket-Accept: ";
    if (answer.size() != head.size() + 28 + 4 || answer.compare(0, head.size(), head) != 0 ||
        answer.compare(answer.size() - 4, 4, "\r\n\r\n") != 0)
        abort();
    std::string digest;
    if (!DecodeBase64(answer.substr(head.size(), 28), digest) || digest.size() != 20) abort();
    const std::string keyed = text.substr(key + 5, 24) + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    const auto expected = Sha1(keyed.data(), keyed.size());
    if (memcmp(digest.data(), expected.data(), expected.size()) != 0) abort();
    return 0;
}
