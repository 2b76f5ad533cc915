// The trust rule, read as a table from the top: where the peer is, whose it
// is, then what page it speaks for.
#include "link/trust.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace {

bool Contains(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

Judgement Trusted(const std::string& origin) {
    return {Verdict::Trusted, TrustReason::None, origin};
}
Judgement Refused(TrustReason reason, const std::string& origin = "") {
    return {Verdict::Refused, reason, origin};
}

bool IsSchemeChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}
bool IsHostChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_';
}

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// The origin, or a note that there is none, as a text for people: bytes
// outside printable ASCII become "?", and a long one is cut.
std::string Printable(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (out.size() >= 200) {
            out += "...";
            break;
        }
        const unsigned char u = static_cast<unsigned char>(c);
        out += u >= 0x20 && u < 0x7F ? c : '?';
    }
    return out;
}

std::string JsonEscape(const std::string& text) {
    std::string out;
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char buffer[8];
            snprintf(buffer, sizeof buffer, "\\u%04x", u);
            out += buffer;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

Judgement Judge(const PeerFacts& facts, const TrustLists& lists) {
    // Where: this computer, or a host IT listed.
    if (!facts.loopback) {
        if (!HostInRanges(facts.address, lists.hosts)) return Refused(TrustReason::RemoteHost);
    } else {
        // Whose: a peer on this computer must be of this user.
        if (facts.owner == PeerOwner::OtherUser) return Refused(TrustReason::OtherUser);
        if (facts.owner == PeerOwner::Unknown) return Refused(TrustReason::UnknownOwner);
    }
    // What page: none (a program), a page of this computer, or a site
    // allowed by IT or by the person at the desk.
    switch (facts.originHeader) {
        case OriginHeader::Absent:
            return Trusted("");
        case OriginHeader::Several:
        case OriginHeader::Unreadable:
            return Refused(TrustReason::BadOrigin);
        case OriginHeader::One:
            break;
    }
    if (facts.origin == "null")
        return Contains(lists.origins, "null") ? Trusted("null")
                                               : Refused(TrustReason::NullOrigin, "null");
    const std::string origin = CanonicalOrigin(facts.origin, true);
    if (origin.empty()) return Refused(TrustReason::BadOrigin);
    if (IsLoopbackOrigin(origin) || Contains(lists.origins, origin) ||
        Contains(lists.allowed, origin))
        return Trusted(origin);
    if (Contains(lists.blocked, origin)) return Refused(TrustReason::BlockedOrigin, origin);
    return {Verdict::Ask, TrustReason::UnknownOrigin, origin};
}

std::string CanonicalOrigin(const std::string& input, bool strict) {
    std::string text = input;
    if (!strict) {
        text = Lower(text);
        if (!text.empty() && text.back() == '/') text.pop_back();
    }
    const size_t schemeEnd = text.find("://");
    if (schemeEnd == std::string::npos || schemeEnd == 0) return "";
    const std::string scheme = text.substr(0, schemeEnd);
    if (!(scheme[0] >= 'a' && scheme[0] <= 'z') ||
        !std::all_of(scheme.begin(), scheme.end(), IsSchemeChar))
        return "";
    size_t at = schemeEnd + 3;
    std::string host;
    if (at < text.size() && text[at] == '[') {
        const size_t close = text.find(']', at);
        if (close == std::string::npos || close == at + 1) return "";
        host = text.substr(at, close - at + 1);
        if (!std::all_of(host.begin() + 1, host.end() - 1, [](char c) {
                return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == ':' || c == '.';
            }))
            return "";
        at = close + 1;
    } else {
        const size_t end = text.find(':', at);
        host = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at += host.size();
        // No name of the DNS is longer than 253 characters.
        if (host.empty() || host.size() > 253 ||
            !std::all_of(host.begin(), host.end(), IsHostChar) || host.front() == '.' ||
            host.back() == '.' || host.find("..") != std::string::npos)
            return "";
    }
    std::string port;
    if (at < text.size()) {
        if (text[at] != ':') return "";
        port = text.substr(at + 1);
        if (port.empty() || port.size() > 5 || port[0] == '0' ||
            !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return "";
        if (std::stol(port) > 65535) return "";
        const bool defaultPort =
            (scheme == "http" && port == "80") || (scheme == "https" && port == "443");
        if (defaultPort) {
            // Browsers leave the default port out.
            if (strict) return "";
            port.clear();
        }
    }
    return scheme + "://" + host + (port.empty() ? "" : ":" + port);
}

bool IsLoopbackOrigin(const std::string& canonical) {
    for (const char* scheme : {"http://", "https://"}) {
        for (const char* host : {"127.0.0.1", "localhost", "[::1]"}) {
            const std::string base = std::string(scheme) + host;
            if (canonical == base) return true;
            if (canonical.compare(0, base.size() + 1, base + ":") == 0) return true;
        }
    }
    return false;
}

bool ParseIpv4(const std::string& text, uint32_t* address) {
    uint32_t value = 0;
    int parts = 0;
    size_t at = 0;
    while (parts < 4) {
        size_t end = at;
        while (end < text.size() && end - at < 4 && text[end] >= '0' && text[end] <= '9') ++end;
        if (end == at || end - at > 3) return false;
        if (end - at > 1 && text[at] == '0') return false;  // no octal look-alikes
        const int part = std::stoi(text.substr(at, end - at));
        if (part > 255) return false;
        value = (value << 8) | static_cast<uint32_t>(part);
        ++parts;
        if (parts < 4) {
            if (end >= text.size() || text[end] != '.') return false;
            at = end + 1;
        } else if (end != text.size()) {
            return false;
        }
    }
    *address = value;
    return true;
}

bool ParseHostRange(const std::string& text, HostRange* range) {
    const size_t slash = text.find('/');
    HostRange parsed;
    if (!ParseIpv4(text.substr(0, slash), &parsed.address)) return false;
    if (slash != std::string::npos) {
        const std::string bits = text.substr(slash + 1);
        if (bits.empty() || bits.size() > 2 ||
            !std::all_of(bits.begin(), bits.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return false;
        parsed.prefix = std::stoi(bits);
        if (parsed.prefix > 32) return false;
    }
    *range = parsed;
    return true;
}

bool HostInRanges(const std::string& address, const std::vector<HostRange>& ranges) {
    uint32_t value;
    if (!ParseIpv4(address, &value)) return false;
    for (const HostRange& range : ranges) {
        const uint32_t mask = range.prefix == 0 ? 0 : ~uint32_t{0} << (32 - range.prefix);
        if ((value & mask) == (range.address & mask)) return true;
    }
    return false;
}

OriginHeader ReadOriginHeader(const std::string& request, std::string* origin) {
    int count = 0;
    bool complete = false;
    bool cutOriginLine = false;
    size_t at = request.find('\n');  // the request line is no header
    while (at != std::string::npos) {
        const size_t start = at + 1;
        const size_t end = request.find('\n', start);
        std::string line = request.substr(start, end == std::string::npos ? end : end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() && end != std::string::npos) {
            complete = true;
            break;
        }
        const size_t colon = line.find(':');
        if (colon != std::string::npos && Lower(line.substr(0, colon)) == "origin") {
            if (end == std::string::npos) {
                // The receive ended inside this line: its value may be cut.
                cutOriginLine = true;
            } else {
                ++count;
                size_t first = colon + 1, last = line.size();
                while (first < last && (line[first] == ' ' || line[first] == '\t')) ++first;
                while (last > first && (line[last - 1] == ' ' || line[last - 1] == '\t')) --last;
                *origin = line.substr(first, last - first);
            }
        }
        at = end;
    }
    if (count > 1) return OriginHeader::Several;
    if (cutOriginLine || (count == 0 && !complete)) return OriginHeader::Unreadable;
    return count == 1 ? OriginHeader::One : OriginHeader::Absent;
}

std::string DenialText(const PeerFacts& facts, const Judgement& judgement) {
    const std::string site = Printable(facts.origin);
    switch (judgement.reason) {
        case TrustReason::RemoteHost:
            return u8"本机的签字板只供本机使用，不接受来自 " + facts.address +
                   u8" 的连接；如需从该主机使用，请管理员将其加入 Penmora 的允许主机列表。 "
                   "This computer's signature pad serves this computer only and does not accept "
                   "connections from " +
                   facts.address +
                   ". To use it from that host, ask your IT department to add the host to "
                   "Penmora's allowed hosts.";
        case TrustReason::OtherUser:
        case TrustReason::UnknownOwner:
            return u8"签字板属于在本机桌面登录的用户，其他用户的程序或浏览器不能使用。 "
                   "The signature pad belongs to the user signed in at this computer's desk; "
                   "the programs and browsers of other users cannot use it.";
        case TrustReason::NullOrigin:
            return u8"没有来源的页面（沙盒框架或本地文件）不能使用签字板；管理员可将 null "
                   u8"加入 Penmora 的允许来源列表。 "
                   "A page without an origin (a sandboxed frame or a local file) cannot use the "
                   "signature pad; IT can allow it by adding null to Penmora's allowed origins.";
        case TrustReason::BadOrigin:
            return u8"无法确认请求来自哪个网站，签字板拒绝了它。 "
                   "The request does not say clearly which site it comes from, so the signature "
                   "pad refused it.";
        case TrustReason::BlockedOrigin:
            return u8"本机用户已禁止网站 " + site +
                   u8" 使用签字板和指纹仪；如需使用，请管理员将其加入 Penmora 的允许来源列表。 "
                   "The person at this computer blocked the site " +
                   site +
                   " from using the signature pad and the fingerprint reader. To use them, ask "
                   "your IT department to add the site to Penmora's allowed origins.";
        case TrustReason::UnknownOrigin:
        case TrustReason::None:
            break;
    }
    return u8"网站 " + site +
           u8" 未获准使用本机的签字板和指纹仪。请在本机桌面弹出的对话框中选择“允许”，"
           u8"或请管理员将其加入 Penmora 的允许来源列表。 "
           "The site " +
           site +
           " may not use this computer's signature pad and fingerprint reader. Choose Allow "
           "in the question on this computer's screen, or ask your IT department to add the "
           "site to Penmora's allowed origins.";
}

std::string DenialMessage(const PeerFacts& facts, const Judgement& judgement) {
    return "{\"typeName\":\"TavoDenied\",\"message\":\"" +
           JsonEscape(DenialText(facts, judgement)) + "\"}";
}

std::string RefusalLogText(const PeerFacts& facts, const Judgement& judgement) {
    static const char* const kWhy[] = {
        "trusted",           "host not allowed",        "another user",   "user not known",
        "origin unreadable", "null origin not allowed", "origin blocked", "origin not allowed",
    };
    std::string origin;
    switch (facts.originHeader) {
        case OriginHeader::Absent:
            origin = "none";
            break;
        case OriginHeader::Several:
            origin = "several";
            break;
        case OriginHeader::Unreadable:
            origin = "cut off";
            break;
        case OriginHeader::One:
            origin = Printable(facts.origin);
            break;
    }
    std::string user = facts.ownerName.empty() ? "unknown" : Printable(facts.ownerName);
    return std::string("connection refused (") + kWhy[static_cast<int>(judgement.reason)] +
           "): origin " + origin + ", address " + facts.address + ", user " + user;
}

namespace {

// An entry may hold several, parted by blanks, commas or semicolons (an
// installer's property holds one line); neither an origin nor a host has
// any of them.
std::vector<platform::TrustEntry> Split(const std::vector<platform::TrustEntry>& entries) {
    std::vector<platform::TrustEntry> out;
    for (const platform::TrustEntry& entry : entries) {
        std::string token;
        for (size_t i = 0; i <= entry.text.size(); ++i) {
            const char c = i < entry.text.size() ? entry.text[i] : ' ';
            if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == ',' || c == ';') {
                if (!token.empty()) out.push_back({token, entry.source});
                token.clear();
            } else {
                token += c;
            }
        }
    }
    return out;
}

}  // namespace

TrustLists ParseTrustSettings(const platform::TrustSettings& settings) {
    TrustLists lists;
    for (const platform::TrustEntry& entry : Split(settings.origins)) {
        const std::string origin =
            entry.text == "null" ? "null" : CanonicalOrigin(entry.text, false);
        if (origin.empty())
            lists.problems.push_back(entry.source + ": not an origin: " + Printable(entry.text));
        else
            lists.origins.push_back(origin);
    }
    for (const platform::TrustEntry& entry : Split(settings.hosts)) {
        HostRange range;
        if (ParseHostRange(entry.text, &range))
            lists.hosts.push_back(range);
        else
            lists.problems.push_back(entry.source +
                                     ": not an IPv4 address or range: " + Printable(entry.text));
    }
    for (const std::string& origin : settings.allowed) {
        const std::string canonical = CanonicalOrigin(origin, false);
        if (!canonical.empty()) lists.allowed.push_back(canonical);
    }
    for (const std::string& origin : settings.blocked) {
        const std::string canonical = CanonicalOrigin(origin, false);
        if (!canonical.empty()) lists.blocked.push_back(canonical);
    }
    return lists;
}
