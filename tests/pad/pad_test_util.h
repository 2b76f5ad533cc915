// Helpers shared by the pad tests: raw pad values, waiting on the virtual pad,
// reading the daily log, building reports.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "devices/virtual_pad/virtual_pad.h"
#include "shell/log.h"
#include "tests/support/log_reader.h"

namespace padtest {

// Raw pad values for the middle of Canvas pixel (x, y).
inline uint16_t RawX(int x) {
    return static_cast<uint16_t>((x + 0.5) * 10206.0 / 600.0 + 0.5);
}
inline uint16_t RawY(int y) {
    return static_cast<uint16_t>((y + 0.5) * 7422.0 / 400.0 + 0.5);
}

// Waits until `done` holds; false after `timeoutMs`.
inline bool WaitFor(const std::function<bool()>& done, int timeoutMs = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Waits until the pen-input thread has read every queued report and acted on
// it: a read that begins on an empty queue comes only after that.
inline bool WaitForPadIdle() {
    if (!WaitFor([] { return vpad::PendingReports() == 0; })) return false;
    long seen = vpad::GetUsage().readsOnEmpty;
    return WaitFor([seen] { return vpad::GetUsage().readsOnEmpty > seen; });
}

// The command codes of the feature reports the pad received.
inline std::vector<int> CommandCodes() {
    std::vector<int> codes;
    for (auto& report : vpad::FeatureReports())
        codes.push_back(report.bytes.size() > 1 ? report.bytes[1] : -1);
    return codes;
}

// Everything in this test's log from byte `from` on.
inline std::string LogFrom(size_t from) {
    const std::string text = ReadTodaysLog(OwnLogFolder());
    return from < text.size() ? text.substr(from) : std::string();
}

inline size_t LogSize() {
    return LogFrom(0).size();
}

// The log lines of `text` with `tag`, each reduced to its message.
inline std::vector<std::string> LogMessages(const std::string& text, const std::string& tag) {
    std::vector<std::string> messages;
    std::istringstream lines(text);
    std::string line;
    std::string head = tag + ": ";
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        // "<tag>: HH:MM:SS <message>"
        if (line.compare(0, head.size(), head) != 0 || line.size() < head.size() + 9) continue;
        messages.push_back(line.substr(head.size() + 9));
    }
    return messages;
}

}  // namespace padtest
