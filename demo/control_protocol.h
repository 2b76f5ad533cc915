// The demo's control protocol: JSON texts that script the virtual pad and the
// virtual reader, and the events that tell control clients what the service
// did with them. Parsing and formatting only; control.cpp carries them.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace demo {

// One well-formed control message.
struct ControlAction {
    enum Kind { kReport, kPen, kButton, kRefuse, kPlugged, kFinger };
    Kind kind = kReport;
    std::vector<uint8_t> report;          // kReport: the input report's bytes
    uint16_t x = 0, y = 0, pressure = 0;  // kPen: raw pad values
    std::string word;                     // kButton: "CL", "OK", "CNCL"; kFinger: the finger word
    std::set<uint8_t> refused;            // kRefuse: command codes the pad refuses
    bool plugged = true;                  // kPlugged
};

// Longest input report a control message may deliver.
constexpr size_t kMaxControlReport = 1024;

// Parses one control message. False, with a sentence in `error`, when the text
// is not exactly one of the control messages; `action` is then unspecified.
bool ParseControlMessage(const std::string& text, ControlAction& action, std::string& error);

// Hexadecimal bytes with optional blanks between digits ("02 00 EE", "0200EE").
// False for other characters, an odd number of digits or no digits at all.
bool ParseHexBytes(const std::string& text, std::vector<uint8_t>& bytes);

// "06 01 00 ...": upper-case pairs separated by one blank.
std::string FormatHexBytes(const std::vector<uint8_t>& bytes);

// Events, each one JSON object without white space.
std::string FeatureEvent(const std::vector<uint8_t>& bytes, bool accepted);
std::string PadEvent(bool open);     // {"pad":"open"} / {"pad":"closed"}
std::string ReaderEvent(bool open);  // {"reader":"open"} / {"reader":"closed"}
std::string ErrorEvent(const std::string& error);

}  // namespace demo
