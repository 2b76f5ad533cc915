// Who may use the pad: one decision per connection, made at its handshake
// from three facts (where the peer is, which user of this computer owns its
// socket, and what page it speaks for) and from the lists that widen the
// default (IT's lists, and the sites the person at the desk answered for).
// Facts in, one verdict out, nothing else: reading the lists, asking the
// person and acting on the verdict happen elsewhere.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

// The OS user that owns the peer's end of the connection, as far as the
// system tells. Only a peer on this computer has one.
using platform::PeerOwner;

// What the handshake request says of the page's origin.
enum class OriginHeader {
    Absent,      // no Origin header in a complete request: a local program
    One,         // exactly one
    Several,     // more than one: nobody honest sends that
    Unreadable,  // the request ended before its blank line, so an Origin
                 // header may have been cut off
};

struct PeerFacts {
    std::string address;  // the peer's address as text ("127.0.0.1")
    bool loopback = false;
    PeerOwner owner = PeerOwner::Unknown;
    std::string ownerName;  // the owner's user name or number, for the log; may be empty
    OriginHeader originHeader = OriginHeader::Absent;
    std::string origin;  // the header's value as sent, with outer blanks removed
};

// An IPv4 range: an address with a prefix length (32 for one address).
struct HostRange {
    uint32_t address = 0;
    int prefix = 32;
};

// The lists as the rule reads them, from the settings that platform/ read:
// entries that are not an origin or a host range go to `problems`.
struct TrustLists;
TrustLists ParseTrustSettings(const platform::TrustSettings& settings);

struct TrustLists {
    std::vector<std::string> origins;  // IT: canonical origins, or "null"
    std::vector<HostRange> hosts;      // IT: remote hosts admitted besides loopback
    std::vector<std::string> allowed;  // the person's answers, canonical origins
    std::vector<std::string> blocked;
    // Lines of the lists that could not be read: logged and skipped.
    std::vector<std::string> problems;
};

enum class Verdict {
    Trusted,  // sees and does what every page always could
    Ask,      // an unknown site: the person at the desk decides at its first command
    Refused,  // receives nothing and its commands do nothing
};

enum class TrustReason {
    None,           // trusted
    RemoteHost,     // from another computer that IT did not list
    OtherUser,      // from another user of this computer
    UnknownOwner,   // from this computer, but its user could not be found out
    BadOrigin,      // an Origin that no browser sends, several, or one cut off
    NullOrigin,     // "null": a sandboxed frame or a file, unlisted
    BlockedOrigin,  // a site the person blocked
    UnknownOrigin,  // a site nobody allowed yet
};

struct Judgement {
    Verdict verdict = Verdict::Refused;
    TrustReason reason = TrustReason::BadOrigin;
    // The origin as the lists and the person's answers name it: canonical,
    // "null", or empty when there is none or it cannot be read.
    std::string origin;
};

Judgement Judge(const PeerFacts& facts, const TrustLists& lists);

// The canonical form of an origin: "scheme://host" or "scheme://host:port",
// scheme and host in lower case, the scheme's default port dropped; what a
// browser sends is already in that form. With `strict` (a header on the
// wire) the text must already be canonical, as browsers write it; without it
// (a line of a list) case, a trailing "/" and a default port are forgiven.
// Empty when the text is no origin: a path, userinfo, a port of 0 or over
// 65535, a trailing dot, blanks, a character outside ASCII, and the like.
std::string CanonicalOrigin(const std::string& text, bool strict);
// True for http(s) pages of this computer: 127.0.0.1, localhost, [::1].
bool IsLoopbackOrigin(const std::string& canonical);

// An IPv4 address ("198.18.0.7") or range ("198.18.0.0/15"). False when the
// text is neither.
bool ParseHostRange(const std::string& text, HostRange* range);
bool ParseIpv4(const std::string& text, uint32_t* address);
bool HostInRanges(const std::string& address, const std::vector<HostRange>& ranges);

// What the Origin header of a request says; `origin` receives its value.
// `request` is the first receive of the connection, as a C text.
OriginHeader ReadOriginHeader(const std::string& request, std::string* origin);

// The "message" of "TavoDenied" for a refused connection, UTF-8, in Chinese
// and English: names the site (or the host, or says another user) and how to
// allow it. Not JSON-escaped.
std::string DenialText(const PeerFacts& facts, const Judgement& judgement);
// The same as a whole "TavoDenied" message, ready to send.
std::string DenialMessage(const PeerFacts& facts, const Judgement& judgement);
// The log line of a refusal: the origin, the peer's address and its user.
std::string RefusalLogText(const PeerFacts& facts, const Judgement& judgement);
