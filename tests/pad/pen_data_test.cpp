// Pen data end to end: a real WebSocket client asks for it (or not), the
// virtual pad plays the signer with scripted reports, and the test checks the
// live batches, the record at OK, their order among the other messages, and
// that a page that does not ask sees exactly what it always saw.
#include "pad/pen_data.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include "image/canvas.h"
#include "pad/device.h"
#include "pad/session.h"
#include "page_fixture.h"
#include "pad_test_util.h"
#include "shell/log.h"
#include "tests/support/harness.h"

namespace {

using Clock = std::chrono::steady_clock;
using padtest::RawX;
using padtest::RawY;
using padtest::WaitFor;
using padtest::WaitForPadIdle;

const std::string kPenDataHead = R"({"typeName":"TavoPenData","message":")";
const std::string kSignDataHead = R"({"typeName":"TavoSignData","message":")";
const std::string kImageHead = R"({"typeName":"TavoSignBase64","message":")";
const std::string kClear = R"({"typeName":"TavoClear"})";
const std::string kOK = R"({"typeName":"TavoOK"})";
const std::string kCancel = R"({"typeName":"TavoCancel"})";
const std::string kUnSign = u8R"({"typeName":"TavoUnSign","message":"请确认是否签字"})";
const std::string kCloseSign = R"({"typeName":"TavoCloseSign"})";

std::string StartSign(const std::string& extra) {
    return R"({"typeName":"TavoStartSign","message":{"penwidth":"3")" + extra + "}}";
}
const std::string kWithPenData = R"(,"pendata":"1")";

struct Sample {
    int64_t t;
    int x, y, p;
};
bool SamePen(const Sample& a, const Sample& b) {
    return a.x == b.x && a.y == b.y && a.p == b.p;
}

// Raw values of what the test queues, in order.
struct Pen {
    uint16_t x, y, p;
};

bool StartsWith(const std::string& text, const std::string& head) {
    return text.compare(0, head.size(), head) == 0;
}

// The text inside a message that begins with `head` and ends in "}.
std::string Inside(const std::string& message, const std::string& head) {
    if (!StartsWith(message, head) || message.size() < head.size() + 2) return "";
    return message.substr(head.size(), message.size() - head.size() - 2);
}

// "t,x,y,p;t,x,y,p" as samples; a malformed sample fails the test.
std::vector<Sample> ParseSamples(const std::string& text) {
    std::vector<Sample> samples;
    if (text.empty()) return samples;
    std::stringstream items(text);
    std::string item;
    while (std::getline(items, item, ';')) {
        Sample s{};
        char c1 = 0, c2 = 0, c3 = 0;
        std::istringstream fields(item);
        fields >> s.t >> c1 >> s.x >> c2 >> s.y >> c3 >> s.p;
        EXPECT_TRUE(fields && fields.peek() == EOF && c1 == ',' && c2 == ',' && c3 == ',')
            << "sample \"" << item << "\"";
        samples.push_back(s);
    }
    return samples;
}

struct Record {
    std::map<std::string, std::string> header;
    std::vector<Sample> samples;
};

Record ParseRecord(const std::string& message) {
    Record record;
    const std::string text = Inside(message, kSignDataHead);
    const size_t bar = text.find('|');
    EXPECT_NE(bar, std::string::npos) << text.substr(0, 200);
    if (bar == std::string::npos) return record;
    std::stringstream fields(text.substr(0, bar));
    std::string field;
    while (std::getline(fields, field, ',')) {
        const size_t eq = field.find('=');
        EXPECT_NE(eq, std::string::npos) << field;
        if (eq != std::string::npos) record.header[field.substr(0, eq)] = field.substr(eq + 1);
    }
    record.samples = ParseSamples(text.substr(bar + 1));
    return record;
}

// A stroke of `count` samples along row y, starting at column `from`, with the
// pressure rising and a lift at the end.
std::vector<Pen> Stroke(int y, int count, int from = 60) {
    std::vector<Pen> pens;
    for (int i = 0; i + 1 < count; ++i)
        pens.push_back(Pen{RawX(from + 5 * i), RawY(y + i % 7), static_cast<uint16_t>(400 + i)});
    pens.push_back(Pen{RawX(from + 5 * (count - 1)), RawY(y), 0});
    return pens;
}

void Queue(const std::vector<Pen>& pens) {
    for (const Pen& pen : pens) vpad::QueuePen(pen.x, pen.y, pen.p);
}

void ExpectSamplesAre(const std::vector<Sample>& samples, const std::vector<Pen>& pens) {
    ASSERT_EQ(samples.size(), pens.size());
    for (size_t i = 0; i < pens.size(); ++i) {
        EXPECT_TRUE(SamePen(samples[i], Sample{0, pens[i].x, pens[i].y, pens[i].p}))
            << "sample " << i << ": " << samples[i].x << "," << samples[i].y << "," << samples[i].p;
    }
}

std::vector<std::string> DirectoryListing(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class PenDataTest : public PadPageTest {
  protected:
    void SetUp() override {
        SetPenRecordLimitForTests(0);
        PadPageTest::SetUp();
    }

    void TearDown() override {
        PadPageTest::TearDown();
        SetPenRecordLimitForTests(0);
    }

    // Sends the start command and waits until the pen-input thread reads.
    void Start(const std::string& command, WsPeer* peer = nullptr) {
        const size_t commands = vpad::FeatureReports().size();
        const long reads = vpad::GetUsage().reads;
        ASSERT_TRUE((peer ? peer : peer_.get())->Send(command));
        ASSERT_TRUE(WaitFor([&] {
            return vpad::FeatureReports().size() > commands && vpad::GetUsage().reads > reads;
        }));
    }

    std::string Next(WsPeer* peer = nullptr, int timeoutMs = 10000) {
        return (peer ? peer : peer_.get())->Receive(timeoutMs).value_or("(nothing)");
    }

    // The messages up to and including the first that equals `last`.
    std::vector<std::string> Until(const std::string& last, WsPeer* peer = nullptr) {
        std::vector<std::string> messages;
        for (;;) {
            messages.push_back(Next(peer));
            if (messages.back() == last || messages.back() == "(nothing)") return messages;
        }
    }

    // Live batches until `count` samples came; anything else fails the test.
    std::vector<Sample> LiveSamples(size_t count, WsPeer* peer = nullptr) {
        std::vector<Sample> samples;
        while (samples.size() < count) {
            const std::string message = Next(peer);
            EXPECT_TRUE(StartsWith(message, kPenDataHead)) << message.substr(0, 120);
            if (!StartsWith(message, kPenDataHead)) break;
            for (const Sample& s : ParseSamples(Inside(message, kPenDataHead)))
                samples.push_back(s);
        }
        return samples;
    }

    // Nothing more arrives.
    void ExpectQuiet(WsPeer* peer = nullptr) {
        auto extra = (peer ? peer : peer_.get())->Receive(300);
        EXPECT_FALSE(extra.has_value()) << extra->substr(0, 120);
    }

};

TEST(PenDataText, SamplesAndHeaderHaveTheirDocumentedForm) {
    EXPECT_EQ(PenSampleText(0, 0, 0, 0), "0,0,0,0");
    EXPECT_EQ(PenSampleText(599999, 65535, 65535, 65535), "599999,65535,65535,65535");
    EXPECT_EQ(PenSampleText(17, 10206, 7422, 1023), "17,10206,7422,1023");
    EXPECT_EQ(PenRecordHeader("2024-02-29T23:59:59.999Z", 3, true),
              "v=1,start=2024-02-29T23:59:59.999Z,xmax=10206,ymax=7422,plane=600x400,"
              "canvas=600x355,n=3,cut=1");
    EXPECT_EQ(PenRecordHeader("S", 0, false),
              "v=1,start=S,xmax=10206,ymax=7422,plane=600x400,canvas=600x355,n=0,cut=0");
}

TEST(PenDataText, UtcTimesAgreeWithTheCalendar) {
    EXPECT_EQ(UtcText(0), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(UtcText(951782400000), "2000-02-29T00:00:00.000Z");
    EXPECT_EQ(UtcText(1709251199999), "2024-02-29T23:59:59.999Z");
    EXPECT_EQ(UtcText(4102444800001), "2100-01-01T00:00:00.001Z");
    // Against the C library's calendar, second by second across the years.
    for (int64_t seconds = 0; seconds < 4102444800; seconds += 86400 * 37 + 3607) {
        const time_t value = static_cast<time_t>(seconds);
        const std::tm* t = std::gmtime(&value);
        ASSERT_NE(t, nullptr);
        char expected[32];
        std::strftime(expected, sizeof expected, "%Y-%m-%dT%H:%M:%S.042Z", t);
        ASSERT_EQ(UtcText(seconds * 1000 + 42), expected);
    }
}

TEST_F(PenDataTest, LiveBatchesCarryEverySampleInOrderAtThePaceAndTheRecordAllOfThem) {
    const auto utcBefore = std::chrono::system_clock::now();
    const auto sent = Clock::now();
    Start(StartSign(kWithPenData));
    const auto reading = Clock::now();  // the session started between `sent` and now

    // 200 reports a second, with reports that are not samples among them: a
    // button report of no known button, a bare button header and a report of
    // another id.
    const std::vector<Pen> pens = Stroke(120, 200);
    std::vector<Clock::time_point> queued;
    const auto first = Clock::now();
    for (size_t i = 0; i < pens.size(); ++i) {
        std::this_thread::sleep_until(first + std::chrono::milliseconds(5 * i));
        if (i == 50) vpad::QueueReport({2, 0x80, 'Z', 'Z'});
        if (i == 100) vpad::QueueReport({2, 0x80});
        if (i == 150) vpad::QueueReport({7, 0, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10});
        queued.push_back(Clock::now());  // the report cannot arrive before this
        vpad::QueuePen(pens[i].x, pens[i].y, pens[i].p);
    }
    std::vector<Sample> live;
    size_t batches = 0;
    while (live.size() < pens.size()) {
        const std::string message = Next();
        ASSERT_TRUE(StartsWith(message, kPenDataHead)) << message.substr(0, 120);
        for (const Sample& s : ParseSamples(Inside(message, kPenDataHead))) live.push_back(s);
        ++batches;
    }
    const auto received = Clock::now();
    vpad::QueueButton("OK");
    const std::string record = Next();
    EXPECT_TRUE(StartsWith(Next(), kImageHead));
    EXPECT_EQ(Next(), kOK);
    ExpectQuiet();

    ExpectSamplesAre(live, pens);
    ASSERT_EQ(live.size(), pens.size());
    // Times: never backwards; each between its report's queueing and the
    // arrival of its batch (counted from the session's start, which lies
    // between the command and the first read); the pace is the signer's.
    using std::chrono::duration_cast;
    using ms = std::chrono::milliseconds;
    int64_t lowest = std::numeric_limits<int64_t>::max();
    int64_t highest = std::numeric_limits<int64_t>::min();
    for (size_t i = 0; i < live.size(); ++i) {
        if (i > 0) {
            EXPECT_GE(live[i].t, live[i - 1].t) << "sample " << i;
        }
        EXPECT_GE(live[i].t, duration_cast<ms>(queued[i] - reading).count() - 1) << i;
        EXPECT_LE(live[i].t, duration_cast<ms>(received - sent).count() + 1) << i;
        const int64_t offset = live[i].t - duration_cast<ms>(queued[i] - queued[0]).count();
        lowest = std::min(lowest, offset);
        highest = std::max(highest, offset);
    }
    EXPECT_LE(highest - lowest, 250) << "the times stray from the pace of 5 ms by this much";
    // At most one batch every 16 ms.
    const int64_t span = live.back().t - live.front().t;
    EXPECT_LE(static_cast<int64_t>(batches), (span + 2) / 16 + 2) << "over " << span << " ms";
    EXPECT_GT(batches, 1u);

    const Record parsed = ParseRecord(record);
    ExpectSamplesAre(parsed.samples, pens);
    for (size_t i = 0; i < parsed.samples.size() && i < live.size(); ++i)
        EXPECT_EQ(parsed.samples[i].t, live[i].t);
    EXPECT_EQ(parsed.header.at("v"), "1");
    EXPECT_EQ(parsed.header.at("xmax"), "10206");
    EXPECT_EQ(parsed.header.at("ymax"), "7422");
    EXPECT_EQ(parsed.header.at("plane"), "600x400");
    EXPECT_EQ(parsed.header.at("canvas"), "600x355");
    EXPECT_EQ(parsed.header.at("n"), "200");
    EXPECT_EQ(parsed.header.at("cut"), "0");
    // The session's start in UTC, to the millisecond, between the command and
    // now (each allowed a second of the clocks' own steps).
    const std::string start = parsed.header.at("start");
    const auto utcAfter = std::chrono::system_clock::now();
    auto utcMs = [](std::chrono::system_clock::time_point t) {
        return std::chrono::duration_cast<ms>(t.time_since_epoch()).count();
    };
    EXPECT_GE(start, UtcText(utcMs(utcBefore) - 1000));
    EXPECT_LE(start, UtcText(utcMs(utcAfter) + 1000));
    EXPECT_EQ(start.size(), 24u);
}

// One session of the same strokes and buttons; the messages the page got.
std::vector<std::string> RunScenario(WsPeer& peer, const std::string& command) {
    EXPECT_TRUE(peer.Send(command));
    EXPECT_TRUE(WaitFor([] { return vpad::GetUsage().reads > 0 && vpad::IsOpen(); }));
    std::vector<std::string> messages;
    auto until = [&](const std::string& last) {
        for (;;) {
            auto message = peer.Receive(10000);
            if (!message) {
                ADD_FAILURE() << "no " << last;
                return;
            }
            messages.push_back(*message);
            if (*message == last) return;
        }
    };
    Queue(Stroke(100, 20));
    vpad::QueueButton("CL");
    until(kClear);
    vpad::QueueButton("OK");  // nothing drawn since the Clear
    until(kUnSign);
    Queue(Stroke(200, 30, 200));
    vpad::QueueButton("OK");
    until(kOK);
    auto extra = peer.Receive(300);
    EXPECT_FALSE(extra.has_value()) << extra->substr(0, 120);
    return messages;
}

TEST_F(PenDataTest, APageThatDoesNotAskGetsExactlyTheMessagesOfOld) {
    const std::vector<std::string> plain = RunScenario(*peer_, StartSign(""));
    ASSERT_EQ(plain.size(), 4u);
    EXPECT_EQ(plain[0], kClear);
    EXPECT_EQ(plain[1], kUnSign);
    EXPECT_TRUE(StartsWith(plain[2], kImageHead));
    EXPECT_EQ(plain[3], kOK);

    // Any other value, or another type, asks for nothing.
    for (const std::string extra :
         {R"(,"pendata":"0")", R"(,"pendata":1)", R"(,"pendata":"yes")", R"(,"pendata":"")",
          R"(,"pendata":" 1")", R"(,"pendata":true)", R"(,"pen":"1")"}) {
        SCOPED_TRACE(extra);
        ResetPadForTests();
        vpad::Reset();
        EXPECT_EQ(RunScenario(*peer_, StartSign(extra)), plain);
    }

    // Asked for (the name in any letter case), pen data comes in addition and
    // everything else is byte for byte the same.
    for (const std::string extra : {R"(,"pendata":"1")", R"(,"PenData":"1")"}) {
        SCOPED_TRACE(extra);
        ResetPadForTests();
        vpad::Reset();
        std::vector<std::string> others;
        size_t records = 0, batches = 0;
        for (const std::string& message : RunScenario(*peer_, StartSign(extra))) {
            if (StartsWith(message, kPenDataHead)) {
                ++batches;
            } else if (StartsWith(message, kSignDataHead)) {
                ++records;
            } else {
                others.push_back(message);
            }
        }
        EXPECT_EQ(others, plain);
        EXPECT_EQ(records, 1u);
        EXPECT_GE(batches, 2u);
    }
}

TEST_F(PenDataTest, NothingOfItReachesTheLogOrAFile) {
    const std::string folder = ExeDirectory();
    const std::vector<std::string> files = DirectoryListing(folder);
    const std::vector<std::string> plain = RunScenario(*peer_, StartSign(""));
    const std::string plainLog = padtest::LogFrom(0);
    ResetPadForTests();
    vpad::Reset();
    const size_t from = padtest::LogSize();
    RunScenario(*peer_, StartSign(kWithPenData));
    const std::string log = padtest::LogFrom(from);
    EXPECT_EQ(DirectoryListing(folder), files);

    // The same lines, but for the command's own.
    EXPECT_EQ(padtest::LogMessages(log, "send message: "),
              padtest::LogMessages(plainLog, "send message: "));
    EXPECT_EQ(log.find("TavoPenData"), std::string::npos);
    EXPECT_EQ(log.find("TavoSignData"), std::string::npos);
    EXPECT_EQ(log.find("xmax"), std::string::npos);
    const std::vector<Pen> pens = Stroke(200, 30, 200);
    EXPECT_EQ(log.find("," + std::to_string(pens[3].x) + "," + std::to_string(pens[3].y) + ","),
              std::string::npos);
    EXPECT_NE(log.find("pendata"), std::string::npos) << "the command itself is logged";
}

TEST_F(PenDataTest, ClearStartsTheRecordAfreshAndFollowsTheSamplesBeforeIt) {
    Start(StartSign(kWithPenData));
    const std::vector<Pen> before = Stroke(100, 25);
    const std::vector<Pen> after = Stroke(250, 15, 300);
    Queue(before);
    vpad::QueueButton("CL");
    Queue(after);
    vpad::QueueButton("OK");

    ExpectSamplesAre(LiveSamples(before.size()), before);
    EXPECT_EQ(Next(), kClear);
    const std::vector<Sample> liveAfter = LiveSamples(after.size());
    ExpectSamplesAre(liveAfter, after);
    const Record record = ParseRecord(Next());
    EXPECT_TRUE(StartsWith(Next(), kImageHead));
    EXPECT_EQ(Next(), kOK);
    ExpectQuiet();
    ExpectSamplesAre(record.samples, after);
    EXPECT_EQ(record.header.at("n"), std::to_string(after.size()));
    // The times still count from the session's start.
    ASSERT_FALSE(record.samples.empty());
    EXPECT_EQ(record.samples.front().t, liveAfter.front().t);
}

TEST_F(PenDataTest, CancelCloseSignUnplugAndAnUnsignedOkSendNoRecord) {
    const std::vector<Pen> pens = Stroke(150, 12);
    {
        SCOPED_TRACE("Cancel");
        Start(StartSign(kWithPenData));
        Queue(pens);
        vpad::QueueButton("CNCL");
        ExpectSamplesAre(LiveSamples(pens.size()), pens);
        EXPECT_EQ(Next(), kCancel);
        ExpectQuiet();
    }
    {
        SCOPED_TRACE("TavoCloseSign");
        Start(StartSign(kWithPenData));
        Queue(pens);
        ExpectSamplesAre(LiveSamples(pens.size()), pens);
        ASSERT_TRUE(peer_->Send(kCloseSign));
        ASSERT_TRUE(WaitFor([] { return !vpad::IsOpen(); }));
        ExpectQuiet();
    }
    {
        SCOPED_TRACE("unplugged");
        Start(StartSign(kWithPenData));
        Queue(pens);
        ExpectSamplesAre(LiveSamples(pens.size()), pens);
        vpad::SetPlugged(false);
        ExpectQuiet();
        ASSERT_TRUE(peer_->Send(kCloseSign));
        ASSERT_TRUE(WaitFor([] { return !PadIsOpen(); }));
        ExpectQuiet();
        vpad::SetPlugged(true);
    }
    {
        SCOPED_TRACE("OK with nothing drawn");
        Start(StartSign(kWithPenData));
        // The pen between the Canvas and the button strip: samples, no ink.
        std::vector<Pen> gap;
        for (int i = 0; i < 10; ++i) gap.push_back(Pen{RawX(100 + 9 * i), RawY(370), 500});
        Queue(gap);
        vpad::QueueButton("OK");
        ExpectSamplesAre(LiveSamples(gap.size()), gap);
        EXPECT_EQ(Next(), kUnSign);
        ExpectQuiet();
        // The session goes on and its record holds those samples too.
        Queue(pens);
        vpad::QueueButton("OK");
        ExpectSamplesAre(LiveSamples(pens.size()), pens);
        const Record record = ParseRecord(Next());
        std::vector<Pen> all = gap;
        all.insert(all.end(), pens.begin(), pens.end());
        ExpectSamplesAre(record.samples, all);
        EXPECT_TRUE(StartsWith(Next(), kImageHead));
        EXPECT_EQ(Next(), kOK);
    }
}

TEST_F(PenDataTest, ASecondPageTakesTheRestOfTheSamplesAndTheRecord) {
    Start(StartSign(kWithPenData));
    const std::vector<Pen> early = Stroke(100, 20);
    const std::vector<Pen> late = Stroke(200, 20, 250);
    Queue(early);
    ExpectSamplesAre(LiveSamples(early.size()), early);

    WsPeer second(port_);
    ASSERT_TRUE(second.Connected());
    Queue(late);
    vpad::QueueButton("OK");
    ExpectSamplesAre(LiveSamples(late.size(), &second), late);
    const Record record = ParseRecord(Next(&second));
    EXPECT_TRUE(StartsWith(Next(&second), kImageHead));
    EXPECT_EQ(Next(&second), kOK);
    std::vector<Pen> all = early;
    all.insert(all.end(), late.begin(), late.end());
    ExpectSamplesAre(record.samples, all);
    ExpectQuiet();  // the first page gets nothing more
}

TEST_F(PenDataTest, ARecordPastItsBoundStopsGrowingAndSaysItWasCut) {
    SetPenRecordLimitForTests(50);
    const std::vector<Pen> pens = Stroke(120, 80);
    Start(StartSign(kWithPenData));
    Queue(pens);
    vpad::QueueButton("OK");
    ExpectSamplesAre(LiveSamples(pens.size()), pens);  // live, every one
    Record record = ParseRecord(Next());
    EXPECT_EQ(record.header.at("cut"), "1");
    EXPECT_EQ(record.header.at("n"), "50");
    ExpectSamplesAre(record.samples, std::vector<Pen>(pens.begin(), pens.begin() + 50));
    EXPECT_TRUE(StartsWith(Next(), kImageHead));
    EXPECT_EQ(Next(), kOK);

    // A Clear gives the record its whole room again.
    const std::vector<Pen> after = Stroke(220, 10, 300);
    Start(StartSign(kWithPenData));
    Queue(pens);
    vpad::QueueButton("CL");
    Queue(after);
    vpad::QueueButton("OK");
    LiveSamples(pens.size());
    EXPECT_EQ(Next(), kClear);
    LiveSamples(after.size());
    record = ParseRecord(Next());
    EXPECT_EQ(record.header.at("cut"), "0");
    EXPECT_EQ(record.header.at("n"), "10");
    ExpectSamplesAre(record.samples, after);
}

TEST_F(PenDataTest, TheRecordHoldsTenMinutesOfSamplesAndNoMore) {
    Start(StartSign(kWithPenData));
    // A stroke to confirm, then the pen held between the Canvas and the strip
    // (no drawing) for more than the bound.
    const std::vector<Pen> stroke = Stroke(120, 10);
    Queue(stroke);
    const size_t extra = kPenRecordLimit - stroke.size() + 5;
    for (size_t i = 0; i < extra; ++i)
        vpad::QueuePen(static_cast<uint16_t>(1 + i % 10000), RawY(370), 300);
    vpad::QueueButton("OK");
    const std::vector<Sample> live = LiveSamples(stroke.size() + extra);
    EXPECT_EQ(live.size(), kPenRecordLimit + 5);
    const Record record = ParseRecord(Next(nullptr, 60000));
    EXPECT_EQ(record.header.at("cut"), "1");
    EXPECT_EQ(record.header.at("n"), std::to_string(kPenRecordLimit));
    ASSERT_EQ(record.samples.size(), kPenRecordLimit);
    EXPECT_TRUE(SamePen(record.samples.back(), live[kPenRecordLimit - 1]));
    EXPECT_TRUE(StartsWith(Next(), kImageHead));
    EXPECT_EQ(Next(), kOK);
}

}  // namespace
