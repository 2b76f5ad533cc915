// Figures of pen data: how long a pen report takes to reach the page as a
// sample (median and 99th percentile, with the 16 ms batching), what a
// signing session costs in CPU while the pad sends 200 reports a second, with
// and without pen data, and how large the record of a 10-second signature is;
// and for sealed evidence (RSA 3072 and P-256): what it adds from OK to the
// last byte of the picture's message, and how large the evidence of a
// 10-second signature is.
// A socket-level client on loopback is the page; the virtual pad is paced like
// a pad. Results go to standard error; standard output carries the pen trace
// and is discarded.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "bench/page.h"
#include "bench/quiet_main.h"
#include "bench/sampling.h"
#include "commands/dispatch.h"
#include "commands/json.h"
#include "devices/virtual_pad/virtual_pad.h"
#include "image/canvas.h"
#include "image/delivery.h"
#include "link/listener.h"
#include "pad/evidence.h"
#include "pad/pen_input.h"
#include "pad/session.h"
#include "tests/support/harness.h"
#include "tests/support/raw_client.h"

namespace {

using Clock = std::chrono::steady_clock;

// 200 reports a second.
constexpr auto kReportInterval = std::chrono::microseconds(5000);
constexpr int kReportsPerSecond = 200;
const std::string kPenDataHead = "{\"typeName\":\"TavoPenData\",\"message\":\"";
const std::string kSignDataHead = "{\"typeName\":\"TavoSignData\",\"message\":\"";

// The CPU clock of the session's pen-input thread, which the benchmark starts
// itself so that it can read it.
std::atomic<clockid_t> PenThreadClock{CLOCK_THREAD_CPUTIME_ID};
bool StartPenThread(void (*body)()) {
    try {
        std::thread thread(body);
        clockid_t clock;
        if (pthread_getcpuclockid(thread.native_handle(), &clock) == 0) PenThreadClock = clock;
        thread.detach();
        return true;
    } catch (...) {
        return false;
    }
}

double CpuSeconds(clockid_t clock) {
    timespec t;
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// A handwritten-looking path: loops across the Canvas with the pressure
// rising and falling, the pen lifted now and then. Raw pad values.
struct Pen {
    uint16_t x, y, pressure;
};
Pen PenAt(int64_t i) {
    const double t = static_cast<double>(i % 400) / 400.0;
    const double stroke = static_cast<double>((i / 400) % 3);
    const double x = 60 + stroke * 170 + 150 * t + 18 * std::sin(t * 25.0);
    const double y = 175 + 70 * std::sin(t * 9.0 + stroke) + 25 * std::cos(t * 25.0);
    const int pressure = i % 400 == 399 ? 0 : static_cast<int>(500 + 450 * std::sin(t * 3.14159));
    return Pen{static_cast<uint16_t>(std::lround(x * 10206.0 / 600.0)),
               static_cast<uint16_t>(std::lround(y * 7422.0 / 400.0)),
               static_cast<uint16_t>(pressure)};
}

using bench::ActivePage;

bool StartSession(bool penData, EvidenceRequestPtr evidence = nullptr) {
    vpad::Reset();
    CreateCanvas();
    ResetCommandsForTests();
    if (OpenPad() != 0 || StartSigning(3, penData, std::move(evidence)) != 0) return false;
    for (int i = 0; i < 2000 && vpad::GetUsage().reads == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return vpad::GetUsage().reads > 0;
}

size_t SamplesIn(const std::string& text) {
    return text.empty() ? 0 : static_cast<size_t>(std::count(text.begin(), text.end(), ';')) + 1;
}

// Queues `count` pen reports at 200 a second from a thread of its own; each
// report's queueing time lands in `queued`. Its CPU time goes to `cpu`.
std::thread Feeder(size_t count, std::vector<Clock::time_point>* queued, double* cpu) {
    queued->assign(count, Clock::time_point{});
    return std::thread([count, queued, cpu] {
        const double before = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        const auto first = Clock::now();
        for (size_t i = 0; i < count; ++i) {
            std::this_thread::sleep_until(first + kReportInterval * i);
            const Pen pen = PenAt(static_cast<int64_t>(i));
            (*queued)[i] = Clock::now();
            vpad::QueuePen(pen.x, pen.y, pen.pressure);
        }
        *cpu = CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - before;
    });
}

// From a pen report queued on the virtual pad to the moment the page holds
// the last byte of the batch that carries its sample.
void ReportToSampleAtPage(benchmark::State& state) {
    RawWsClient* page = ActivePage();
    const size_t reports = static_cast<size_t>(state.range(0));
    std::vector<double> delays;
    for (auto _ : state) {
        if (!StartSession(true)) {
            state.SkipWithError("the virtual pad did not start signing");
            break;
        }
        std::vector<Clock::time_point> queued;
        double feederCpu = 0;
        std::thread feeder = Feeder(reports, &queued, &feederCpu);
        size_t seen = 0, batches = 0;
        while (seen < reports) {
            const auto frame = page->ReceiveFrame();
            const auto now = Clock::now();
            if (!frame || frame->payload.rfind(kPenDataHead, 0) != 0) break;
            ++batches;
            const std::string text = frame->payload.substr(
                kPenDataHead.size(), frame->payload.size() - kPenDataHead.size() - 2);
            for (size_t n = SamplesIn(text); n > 0 && seen < reports; --n, ++seen)
                delays.push_back(
                    std::chrono::duration<double, std::milli>(now - queued[seen]).count());
        }
        feeder.join();
        ClosePad();
        if (seen < reports) {
            state.SkipWithError("the page did not get every sample");
            break;
        }
        state.counters["batches"] = static_cast<double>(batches);
    }
    bench::ReportSamples(state, delays);
    state.counters["samples"] = static_cast<double>(delays.size());
}
BENCHMARK(ReportToSampleAtPage)->Arg(2000)->Iterations(1)->Unit(benchmark::kSecond);

// CPU of the session while the pad sends 200 reports a second for 10 s, then the size of
// the record of those 10 s. Arg: 1 with pen data, 0 without.
void SessionCpu(benchmark::State& state) {
    RawWsClient* page = ActivePage();
    const bool penData = state.range(0) != 0;
    const size_t reports = 10 * kReportsPerSecond;
    for (auto _ : state) {
        if (!StartSession(penData)) {
            state.SkipWithError("the virtual pad did not start signing");
            break;
        }
        std::vector<Clock::time_point> queued;
        double feederCpu = 0;
        const double penBefore = CpuSeconds(PenThreadClock);
        const double before = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
        const double readerBefore = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        const auto start = Clock::now();
        std::thread feeder = Feeder(reports, &queued, &feederCpu);
        // The page reads what comes while the pad is fed.
        size_t batches = 0, seen = 0;
        while (penData && seen < reports) {
            const auto frame = page->ReceiveFrame();
            if (!frame || frame->payload.rfind(kPenDataHead, 0) != 0) break;
            ++batches;
            seen += SamplesIn(frame->payload.substr(kPenDataHead.size()));
        }
        feeder.join();
        while (vpad::PendingReports() > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        const double penCpu = CpuSeconds(PenThreadClock) - penBefore;
        const double readerCpu = CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - readerBefore;
        const double sessionCpu =
            CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - before - feederCpu - readerCpu;
        state.counters["seconds"] = seconds;
        // The pen-input thread alone, and the whole process less the pad's
        // feeder and the page's reader (which adds the accept thread and the
        // like).
        state.counters["pen_thread_cpu_percent"] = 100.0 * penCpu / seconds;
        state.counters["process_cpu_percent"] = 100.0 * sessionCpu / seconds;
        state.counters["batches"] = static_cast<double>(batches);

        vpad::QueueButton("OK");
        for (;;) {
            const auto frame = page->ReceiveFrame();
            if (!frame) break;
            if (frame->payload.rfind(kSignDataHead, 0) == 0) {
                const std::string& message = frame->payload;
                state.counters["record_bytes"] = static_cast<double>(message.size());
                state.counters["record_samples"] =
                    static_cast<double>(SamplesIn(message.substr(message.find('|') + 1)));
            }
            if (frame->payload == "{\"typeName\":\"TavoOK\"}") break;
        }
        for (int i = 0; i < 2000 && PadIsOpen(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}
BENCHMARK(SessionCpu)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kSecond);

// ---- Sealed evidence ---------------------------------------------------------

const std::string kEvidenceHead = "{\"typeName\":\"TavoSignEvidence\",\"message\":\"";
const std::string kImageHead = "{\"typeName\":\"TavoSignBase64\",\"message\":\"";
const char* const kKeyNames[] = {"none", "RSA 3072", "P-256"};

// The request of a page that seals to a fresh key: 0 none, 1 RSA 3072,
// 2 P-256. The key pair is made by the library here; the service only sees
// the public half, as Base64 DER.
EvidenceRequestPtr EvidenceFor(int64_t kind) {
    if (kind == 0) return nullptr;
    EVP_PKEY* key = kind == 1 ? EVP_RSA_gen(3072) : EVP_EC_gen("P-256");
    unsigned char* der = nullptr;
    const int length = key ? i2d_PUBKEY(key, &der) : -1;
    std::string text = length > 0 ? Base64Encode(der, length) : "";
    while (text.size() % 4 != 0) text += '=';
    OPENSSL_free(der);
    EVP_PKEY_free(key);
    std::string error;
    return ReadEvidenceRequest(
        ParseJson("{\"sealto\":\"" + text + "\",\"document\":\"" + std::string(64, 'a') +
                  "\",\"who\":\"A. Signer\",\"why\":\"Approval of the contract\"}"),
        &error);
}

// Presses OK and reads to TavoOK: the milliseconds from the press to the last
// byte of the picture's message, and the size of the evidence's message.
bool PressOk(RawWsClient* page, double* toImageMs, size_t* evidenceBytes, size_t* imageBytes) {
    const auto pressed = Clock::now();
    vpad::QueueButton("OK");
    bool image = false;
    for (;;) {
        const auto frame = page->ReceiveFrame();
        if (!frame) return false;
        if (frame->payload.rfind(kEvidenceHead, 0) == 0) *evidenceBytes = frame->payload.size();
        if (frame->payload.rfind(kImageHead, 0) == 0) {
            *toImageMs = std::chrono::duration<double, std::milli>(Clock::now() - pressed).count();
            *imageBytes = frame->payload.size();
            image = true;
        }
        if (frame->payload == "{\"typeName\":\"TavoOK\"}") break;
    }
    for (int i = 0; i < 2000 && PadIsOpen(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return image;
}

// OK to the last byte of "TavoSignBase64" after a 2-second signature (400
// reports), without evidence and sealed to each kind of key; the added
// median is this median less that of "none". Arg: 0 none, 1 RSA 3072, 2 P-256.
void OkToImage(benchmark::State& state) {
    RawWsClient* page = ActivePage();
    const EvidenceRequestPtr evidence = EvidenceFor(state.range(0));
    state.SetLabel(kKeyNames[state.range(0)]);
    std::vector<double> delays;
    size_t evidenceBytes = 0, imageBytes = 0;
    for (auto _ : state) {
        if (!StartSession(false, evidence)) {
            state.SkipWithError("the virtual pad did not start signing");
            break;
        }
        for (int64_t i = 0; i < 400; ++i) {
            const Pen pen = PenAt(i);
            vpad::QueuePen(pen.x, pen.y, pen.pressure);
        }
        while (vpad::PendingReports() > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        double ms = 0;
        if (!PressOk(page, &ms, &evidenceBytes, &imageBytes)) {
            state.SkipWithError("no picture after OK");
            break;
        }
        delays.push_back(ms);
    }
    bench::ReportSamples(state, delays);
    state.counters["evidence_bytes"] = static_cast<double>(evidenceBytes);
    state.counters["image_bytes"] = static_cast<double>(imageBytes);
}
BENCHMARK(OkToImage)->Arg(0)->Arg(1)->Arg(2)->Iterations(31)->Unit(benchmark::kMillisecond);

// The evidence of a 10-second signature (200 reports a second), sealed to
// each kind of key: the size of its message, beside the picture's.
void TenSecondEvidence(benchmark::State& state) {
    RawWsClient* page = ActivePage();
    const EvidenceRequestPtr evidence = EvidenceFor(state.range(0));
    state.SetLabel(kKeyNames[state.range(0)]);
    for (auto _ : state) {
        if (!StartSession(false, evidence)) {
            state.SkipWithError("the virtual pad did not start signing");
            break;
        }
        std::vector<Clock::time_point> queued;
        double feederCpu = 0;
        std::thread feeder = Feeder(10 * kReportsPerSecond, &queued, &feederCpu);
        feeder.join();
        while (vpad::PendingReports() > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        double ms = 0;
        size_t evidenceBytes = 0, imageBytes = 0;
        if (!PressOk(page, &ms, &evidenceBytes, &imageBytes)) {
            state.SkipWithError("no picture after OK");
            break;
        }
        state.counters["evidence_message_bytes"] = static_cast<double>(evidenceBytes);
        state.counters["image_message_bytes"] = static_cast<double>(imageBytes);
        state.counters["ok_to_image_ms"] = ms;
    }
}
BENCHMARK(TenSecondEvidence)->Arg(1)->Arg(2)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
    SetPenThreadStarterForTests(StartPenThread);
    return bench::RunWithoutTraceLines(argc, argv);
}
