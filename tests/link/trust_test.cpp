// The trust rule as a table: where the peer is, whose it is and what page it
// speaks for, against IT's lists and the person's answers; the Origin header
// as the handshake reads it, hostile forms included; the lists as they are
// written; the refusal as it goes on the wire.
#include "link/trust.h"

#include <gtest/gtest.h>

#include <string>

#include "commands/json.h"

namespace {

PeerFacts Local(const std::string& origin = "", PeerOwner owner = PeerOwner::ThisUser) {
    PeerFacts facts;
    facts.address = "127.0.0.1";
    facts.loopback = true;
    facts.owner = owner;
    facts.ownerName = "clerk";
    facts.originHeader = origin.empty() ? OriginHeader::Absent : OriginHeader::One;
    facts.origin = origin;
    return facts;
}

PeerFacts Remote(const std::string& address, const std::string& origin = "") {
    PeerFacts facts = Local(origin, PeerOwner::Unknown);
    facts.address = address;
    facts.loopback = false;
    return facts;
}

HostRange Range(const std::string& text) {
    HostRange range;
    EXPECT_TRUE(ParseHostRange(text, &range)) << text;
    return range;
}

Verdict VerdictOf(const PeerFacts& facts, const TrustLists& lists = {}) {
    return Judge(facts, lists).verdict;
}

TEST(TrustRule, ProgramsAndPagesOfThisComputerAndThisUserAreTrusted) {
    EXPECT_EQ(VerdictOf(Local()), Verdict::Trusted);
    for (const char* origin : {"http://127.0.0.1", "http://127.0.0.1:10002", "https://localhost",
                               "http://localhost:8080", "http://[::1]", "https://[::1]:443"}) {
        // ("https://[::1]:443" names the default port, which browsers leave out.)
        const Verdict expected =
            std::string(origin) == "https://[::1]:443" ? Verdict::Refused : Verdict::Trusted;
        EXPECT_EQ(VerdictOf(Local(origin)), expected) << origin;
    }
}

TEST(TrustRule, AnotherUserOrAnUnknownOneIsRefusedWhateverItsPage) {
    for (const char* origin : {"", "http://127.0.0.1:10002"}) {
        const Judgement other = Judge(Local(origin, PeerOwner::OtherUser), {});
        EXPECT_EQ(other.verdict, Verdict::Refused);
        EXPECT_EQ(other.reason, TrustReason::OtherUser);
        EXPECT_EQ(Judge(Local(origin, PeerOwner::Unknown), {}).reason, TrustReason::UnknownOwner);
    }
}

TEST(TrustRule, RemoteHostsOnlyWhenListedByAddressOrRange) {
    EXPECT_EQ(Judge(Remote("198.18.0.7"), {}).reason, TrustReason::RemoteHost);
    TrustLists lists;
    lists.hosts = {Range("198.18.0.0/15"), Range("192.0.2.9")};
    EXPECT_EQ(VerdictOf(Remote("198.18.0.7"), lists), Verdict::Trusted);
    EXPECT_EQ(VerdictOf(Remote("198.19.255.254"), lists), Verdict::Trusted);
    EXPECT_EQ(VerdictOf(Remote("198.20.0.1"), lists), Verdict::Refused);
    EXPECT_EQ(VerdictOf(Remote("192.0.2.9"), lists), Verdict::Trusted);
    EXPECT_EQ(VerdictOf(Remote("192.0.2.10"), lists), Verdict::Refused);
    // A listed host's page of an unknown site is still a question.
    EXPECT_EQ(VerdictOf(Remote("198.18.0.7", "https://shop.example"), lists), Verdict::Ask);
}

TEST(TrustRule, SitesAreAskedAboutUnlessListedAllowedOrBlocked) {
    const PeerFacts shop = Local("https://shop.example");
    const Judgement unknown = Judge(shop, {});
    EXPECT_EQ(unknown.verdict, Verdict::Ask);
    EXPECT_EQ(unknown.origin, "https://shop.example");

    TrustLists lists;
    lists.origins = {"https://shop.example"};
    EXPECT_EQ(VerdictOf(shop, lists), Verdict::Trusted);
    lists = {};
    lists.allowed = {"https://shop.example"};
    EXPECT_EQ(VerdictOf(shop, lists), Verdict::Trusted);
    lists = {};
    lists.blocked = {"https://shop.example"};
    EXPECT_EQ(Judge(shop, lists).reason, TrustReason::BlockedOrigin);
    // IT's list wins over the person's block; another port is another site.
    lists.origins = {"https://shop.example"};
    EXPECT_EQ(VerdictOf(shop, lists), Verdict::Trusted);
    EXPECT_EQ(VerdictOf(Local("https://shop.example:8443"), lists), Verdict::Ask);
}

TEST(TrustRule, NullOriginOnlyWhenItIsListed) {
    EXPECT_EQ(Judge(Local("null"), {}).reason, TrustReason::NullOrigin);
    TrustLists lists;
    lists.allowed = {"null"};  // the person cannot allow "null"
    EXPECT_EQ(VerdictOf(Local("null"), lists), Verdict::Refused);
    lists.origins = {"null"};
    EXPECT_EQ(VerdictOf(Local("null"), lists), Verdict::Trusted);
}

TEST(TrustRule, HostileOriginsAreNeverTrustedAndNeverAskedAbout) {
    const std::string longHost(5000, 'a');
    for (const std::string& origin :
         std::vector<std::string>{"HTTP://127.0.0.1",
                                  "http://LOCALHOST",
                                  "http://127.0.0.1/",
                                  "http://127.0.0.1/path",
                                  "http://localhost.",
                                  "http://user@localhost",
                                  "http://user:pw@127.0.0.1:1",
                                  "http://localhost:0",
                                  "http://localhost:99999",
                                  "http://localhost:080",
                                  "http://localhost:",
                                  "http://127.0.0.1 x",
                                  "http://127.0.0.1\t",
                                  "http://l\xd0\xbe"
                                  "calhost",
                                  "http://\xe4\xbe\x8b.example",
                                  "//localhost",
                                  "localhost",
                                  "http:/localhost",
                                  "http://",
                                  "http://[::1",
                                  "http://[zz::1]",
                                  "http://a..b",
                                  "1http://localhost",
                                  "http://127.0.0.1@evil.example",
                                  "http://localhost\\@evil.example",
                                  std::string("http://localhost\0.evil", 22),
                                  "http://" + longHost + ".example"}) {
        const Judgement judgement = Judge(Local(origin), {});
        EXPECT_EQ(judgement.verdict, Verdict::Refused) << origin;
        EXPECT_EQ(judgement.reason, TrustReason::BadOrigin) << origin;
        EXPECT_EQ(CanonicalOrigin(origin, true), "") << origin;
    }
    // Names that only begin like this computer's are other sites.
    for (const char* origin : {"http://127.0.0.1.evil.example", "http://localhost.evil.example",
                               "https://localhost-evil.example:10002"})
        EXPECT_EQ(VerdictOf(Local(origin)), Verdict::Ask) << origin;
}

TEST(OriginHeader, IsReadOnceWhateverItsNamesCaseAndRefusedWhenDoubledOrCut) {
    std::string origin;
    const std::string head = "GET / HTTP/1.1\r\nHost: 127.0.0.1:10001\r\n";
    const std::string key = "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
    EXPECT_EQ(ReadOriginHeader(head + key + "\r\n", &origin), OriginHeader::Absent);
    EXPECT_EQ(
        ReadOriginHeader(head + "Origin:   https://shop.example \t\r\n" + key + "\r\n", &origin),
        OriginHeader::One);
    EXPECT_EQ(origin, "https://shop.example");
    EXPECT_EQ(ReadOriginHeader(head + "oRIGIN: http://localhost\r\n" + key + "\r\n", &origin),
              OriginHeader::One);
    EXPECT_EQ(origin, "http://localhost");
    EXPECT_EQ(ReadOriginHeader(head + "Origin: http://localhost\r\n" + key +
                                   "Origin: https://evil.example\r\n\r\n",
                               &origin),
              OriginHeader::Several);
    // Cut off by the end of the receive: in its line, or before the blank
    // line where an Origin might still have come.
    EXPECT_EQ(ReadOriginHeader(head + key + "Origin: http://localhost", &origin),
              OriginHeader::Unreadable);
    EXPECT_EQ(ReadOriginHeader(head + key, &origin), OriginHeader::Unreadable);
    // Headers after the blank line are the body, not headers; the request
    // line is no header either.
    EXPECT_EQ(ReadOriginHeader(head + key + "\r\nOrigin: https://evil.example\r\n", &origin),
              OriginHeader::Absent);
    EXPECT_EQ(ReadOriginHeader("Origin: https://evil.example\r\n" + key + "\r\n", &origin),
              OriginHeader::Absent);
    // Names that only contain the word are other headers.
    EXPECT_EQ(
        ReadOriginHeader(head + "X-Origin: https://evil.example\r\nOrigin : x\r\n" + key + "\r\n",
                         &origin),
        OriginHeader::Absent);

    PeerFacts doubled = Local();
    doubled.originHeader = OriginHeader::Several;
    EXPECT_EQ(Judge(doubled, {}).reason, TrustReason::BadOrigin);
    doubled.originHeader = OriginHeader::Unreadable;
    EXPECT_EQ(Judge(doubled, {}).reason, TrustReason::BadOrigin);
}

TEST(TrustLists, EntriesAreReadLenientlyAndMalformedOnesAreSkippedWithTheirPlace) {
    platform::TrustSettings settings;
    settings.origins = {{"HTTPS://Shop.Example:443/", "origins:1"},
                        {"https://a.example, https://b.example:8443", "origins:2"},
                        {"null", "origins:3"},
                        {"https://bad.example/path", "origins:4"},
                        {"not an origin", "origins:5"}};
    settings.hosts = {{"198.18.0.0/15", "hosts:1"},
                      {"192.0.2.1", "hosts:2"},
                      {"198.18.0.0/33", "hosts:3"},
                      {"010.0.0.1", "hosts:4"},
                      {"example.com", "hosts:5"}};
    settings.allowed = {"https://ok.example"};
    settings.blocked = {"https://no.example", "garbage"};
    const TrustLists lists = ParseTrustSettings(settings);
    EXPECT_EQ(lists.origins, (std::vector<std::string>{"https://shop.example", "https://a.example",
                                                       "https://b.example:8443", "null"}));
    ASSERT_EQ(lists.hosts.size(), 2u);
    EXPECT_TRUE(HostInRanges("198.19.1.1", lists.hosts));
    EXPECT_FALSE(HostInRanges("198.20.1.1", lists.hosts));
    EXPECT_TRUE(HostInRanges("192.0.2.1", lists.hosts));
    EXPECT_EQ(lists.allowed, std::vector<std::string>{"https://ok.example"});
    EXPECT_EQ(lists.blocked, std::vector<std::string>{"https://no.example"});
    // origins:4, "not", "an", "origin", hosts:3, :4, :5
    ASSERT_EQ(lists.problems.size(), 7u);
    EXPECT_NE(lists.problems[0].find("origins:4"), std::string::npos);
    EXPECT_NE(lists.problems[6].find("hosts:5"), std::string::npos);
}

TEST(Denial, IsOneValidJsonMessageThatNamesTheSiteAndTheWayToAllowIt) {
    const PeerFacts shop = Local("https://shop.example");
    const std::string message = DenialMessage(shop, Judge(shop, {}));
    EXPECT_EQ(message.rfind("{\"typeName\":\"TavoDenied\",\"message\":\"", 0), 0u);
    const JsonDocument document = ParseJson(message);
    const std::string text = GetMemberText(document, "message");
    EXPECT_NE(text.find("https://shop.example"), std::string::npos);
    EXPECT_NE(text.find("Allow"), std::string::npos);
    EXPECT_NE(text.find(u8"允许"), std::string::npos);

    // What a peer sent is shown, never obeyed: quotes, control characters and
    // bytes outside ASCII cannot break the message.
    PeerFacts hostile = Local("https://\"},{\"typeName\":\"TavoOK\"}\x01\xff.example");
    const Judgement judgement = Judge(hostile, {});
    const JsonDocument parsed = ParseJson(DenialMessage(hostile, judgement));
    EXPECT_EQ(GetMemberText(parsed, "typeName"), "TavoDenied");
    EXPECT_NE(GetMemberText(parsed, "message"), "");
    for (TrustReason reason :
         {TrustReason::RemoteHost, TrustReason::OtherUser, TrustReason::UnknownOwner,
          TrustReason::BadOrigin, TrustReason::NullOrigin, TrustReason::BlockedOrigin}) {
        Judgement refused{Verdict::Refused, reason, ""};
        EXPECT_EQ(GetMemberText(ParseJson(DenialMessage(hostile, refused)), "typeName"),
                  "TavoDenied");
    }
    const std::string log = RefusalLogText(hostile, judgement);
    EXPECT_NE(log.find("127.0.0.1"), std::string::npos);
    EXPECT_NE(log.find("clerk"), std::string::npos);
    EXPECT_EQ(log.find('\x01'), std::string::npos);
    EXPECT_EQ(log.find('\xff'), std::string::npos);
}

}  // namespace
