// Pen data: what a page that asks for it receives of the pen besides the
// picture. The pen-input thread hands over every report it reads; pen reports
// become samples (raw x, y, pressure and the milliseconds since the session
// started), which go out live in batches, at most one every 16 ms and none
// without a sample, and are kept for the record that goes out at OK.
//
// The samples are written as text once, as they come, and that text serves
// both the batch and the record. Nothing of it reaches the log or a file; a
// session whose page did not ask keeps and sends nothing. A page that asked
// for sealed evidence gets the record only inside it, readable by the holder
// of the key it named.
#include "pad/pen_data.h"

#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <thread>

#include "commands/messages.h"
#include "image/canvas.h"
#include "link/frame.h"
#include "pad/device.h"
#include "pad/jwe.h"
#include "shell/log.h"

namespace {

using Clock = std::chrono::steady_clock;

// The pad's raw ranges and the plane they span (Canvas rows end at 354; the
// rows below hold the pad's buttons).
constexpr int kRawXRange = 10206;
constexpr int kRawYRange = 7422;
constexpr int kPlaneWidth = 600;
constexpr int kPlaneHeight = 400;

std::atomic<size_t> RecordLimit{kPenRecordLimit};

// The pen data of the signing session, owned by its pen-input thread.
struct PenData {
    // Samples are kept (wanted), and sent live (live).
    bool wanted = false;
    bool live = false;
    EvidenceRequestPtr evidence;
    Clock::time_point start;
    std::string startUtc;
    // Samples not yet sent, joined by ';', and when the last batch went out.
    std::string batch;
    Clock::time_point lastBatch;
    // Every sample since the start or the last Clear, up to the limit.
    std::string record;
    size_t recordSamples = 0;
    bool cut = false;
};
PenData Data;

void AppendNumber(std::string& out, uint64_t value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

void AppendSample(std::string& out, uint32_t t, uint16_t x, uint16_t y, uint16_t pressure) {
    AppendNumber(out, t);
    out += ',';
    AppendNumber(out, x);
    out += ',';
    AppendNumber(out, y);
    out += ',';
    AppendNumber(out, pressure);
}

void SendBatch(Clock::time_point now) {
    std::string message;
    message.reserve(std::char_traits<char>::length(msg::kPenDataHead) + Data.batch.size() + 2);
    message += msg::kPenDataHead;
    message += Data.batch;
    message += msg::kTextTail;
    SendTextMessage(message);
    Data.batch.clear();
    Data.lastBatch = now;
}

Clock::time_point BatchDue() {
    return Data.lastBatch + std::chrono::milliseconds(kPenDataIntervalMs);
}

// Days since 1970-01-01 to the civil date (proleptic Gregorian).
void CivilDate(int64_t days, int64_t* year, unsigned* month, unsigned* day) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned shifted = (5 * dayOfYear + 2) / 153;
    *day = dayOfYear - (153 * shifted + 2) / 5 + 1;
    *month = shifted < 10 ? shifted + 3 : shifted - 9;
    *year = static_cast<int64_t>(yearOfEra) + era * 400 + (*month <= 2 ? 1 : 0);
}

}  // namespace

std::string PenSampleText(uint32_t t, uint16_t x, uint16_t y, uint16_t pressure) {
    std::string text;
    AppendSample(text, t, x, y, pressure);
    return text;
}

std::string UtcText(int64_t millisecondsSince1970) {
    constexpr int64_t kDayMs = 86400000;
    int64_t days = millisecondsSince1970 / kDayMs;
    int64_t rest = millisecondsSince1970 % kDayMs;
    if (rest < 0) {
        rest += kDayMs;
        --days;
    }
    int64_t year;
    unsigned month, day;
    CivilDate(days, &year, &month, &day);
    // Every field fits an int: the year of the latest millisecond is below
    // 300 million.
    char text[40];
    snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(year),
             month, day, static_cast<int>(rest / 3600000), static_cast<int>(rest / 60000 % 60),
             static_cast<int>(rest / 1000 % 60), static_cast<int>(rest % 1000));
    return text;
}

std::string PenRecordHeader(const std::string& startUtc, size_t samples, bool cut) {
    std::string header = "v=" + std::to_string(kPenDataVersion) + ",start=" + startUtc;
    header += ",xmax=" + std::to_string(kRawXRange) + ",ymax=" + std::to_string(kRawYRange);
    header += ",plane=" + std::to_string(kPlaneWidth) + "x" + std::to_string(kPlaneHeight);
    header += ",canvas=" + std::to_string(kCanvasWidth) + "x" + std::to_string(kCanvasHeight);
    header += ",n=" + std::to_string(samples) + ",cut=" + (cut ? "1" : "0");
    return header;
}

void BeginPenData(bool wanted, EvidenceRequestPtr evidence) {
    Data = PenData{};
    Data.wanted = wanted || evidence != nullptr;
    Data.live = wanted;
    Data.evidence = std::move(evidence);
    if (!Data.wanted) return;
    Data.start = Clock::now();
    // The first sample goes out at once.
    Data.lastBatch = Data.start - std::chrono::milliseconds(kPenDataIntervalMs);
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    Data.startUtc =
        UtcText(std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch).count());
}

void EndPenData() {
    Data = PenData{};
}

void NotePenReport(const uint8_t* report) {
    if (!Data.wanted || report[0] != 2 || report[1] == 0x80) return;
    const auto now = Clock::now();
    const auto t = std::chrono::duration_cast<std::chrono::milliseconds>(now - Data.start).count();
    const uint16_t x = static_cast<uint16_t>(report[2] | report[3] << 8);
    const uint16_t y = static_cast<uint16_t>(report[4] | report[5] << 8);
    const uint16_t pressure = static_cast<uint16_t>(report[6] | report[7] << 8);
    const bool kept = Data.recordSamples < RecordLimit.load();
    if (!kept) Data.cut = true;
    if (!Data.live) {
        if (!kept) return;
        if (Data.recordSamples != 0) Data.record += ';';
        AppendSample(Data.record, static_cast<uint32_t>(t), x, y, pressure);
        ++Data.recordSamples;
        return;
    }
    const size_t batchStart = Data.batch.size();
    if (batchStart != 0) Data.batch += ';';
    AppendSample(Data.batch, static_cast<uint32_t>(t), x, y, pressure);
    if (!kept) return;
    if (Data.recordSamples != 0) Data.record += ';';
    const size_t sampleStart = batchStart == 0 ? 0 : batchStart + 1;
    Data.record.append(Data.batch, sampleStart, std::string::npos);
    ++Data.recordSamples;
}

int PenDataWaitMs(int longest) {
    if (!Data.wanted || Data.batch.empty()) return longest;
    const auto left = BatchDue() - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    // Rounded up: a wait that ends before the batch is due only wakes twice.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms < longest ? static_cast<int>(ms) : longest;
}

void SendDuePenData() {
    if (!Data.wanted || Data.batch.empty()) return;
    const auto now = Clock::now();
    if (now >= BatchDue()) SendBatch(now);
}

void FlushPenData() {
    if (!Data.wanted || Data.batch.empty()) return;
    std::this_thread::sleep_until(BatchDue());
    SendBatch(Clock::now());
}

void RestartPenRecord() {
    Data.record.clear();
    Data.recordSamples = 0;
    Data.cut = false;
}

void SendPenRecord() {
    if (!Data.wanted || Data.evidence) return;
    const std::string header = PenRecordHeader(Data.startUtc, Data.recordSamples, Data.cut);
    std::string message;
    message.reserve(std::char_traits<char>::length(msg::kSignDataHead) + header.size() + 1 +
                    Data.record.size() + 2);
    message += msg::kSignDataHead;
    message += header;
    message += '|';
    message += Data.record;
    message += msg::kTextTail;
    std::string().swap(Data.record);
    RestartPenRecord();
    SendTextMessage(message);
}

bool PenEvidenceAsked() {
    return Data.evidence != nullptr;
}

std::string SealPenEvidence(const std::vector<uint8_t>& png) {
    if (!Data.evidence) return "";
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    EvidenceFacts facts;
    facts.okUtc =
        UtcText(std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch).count());
    facts.pngSha256 = HexText(crypto::Sha256(png.data(), png.size()));
    facts.padSerial = OpenPadSerial();
    facts.record = PenRecordHeader(Data.startUtc, Data.recordSamples, Data.cut);
    facts.record += '|';
    facts.record += Data.record;
    std::string().swap(Data.record);
    RestartPenRecord();
    const std::string jwe = facts.pngSha256.size() == 64
                                ? SealCompactJwe(*Data.evidence->sealTo, kEvidenceContentType,
                                                 EvidencePlaintext(*Data.evidence, facts))
                                : std::string();
    if (jwe.empty()) {
        WriteLog("error: ", "evidence not sealed");
        SendTextMessage(EvidenceErrorMessage("sealto: the evidence could not be sealed"));
        return "";
    }
    std::string message;
    message.reserve(std::char_traits<char>::length(msg::kSignEvidenceHead) + jwe.size() + 2);
    message += msg::kSignEvidenceHead;
    message += jwe;
    message += msg::kTextTail;
    SendTextMessage(message);
    return jwe;
}

void SetPenRecordLimitForTests(size_t samples) {
    RecordLimit = samples == 0 ? kPenRecordLimit : samples;
}
