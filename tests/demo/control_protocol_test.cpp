// The demo's control messages: what is accepted, and that anything malformed
// is refused with a sentence before it can reach the virtual devices.
#include "demo/control_protocol.h"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using demo::ControlAction;

ControlAction Parsed(const std::string& text) {
    ControlAction action;
    std::string error;
    EXPECT_TRUE(demo::ParseControlMessage(text, action, error)) << text << ": " << error;
    return action;
}

std::string Refused(const std::string& text) {
    ControlAction action;
    std::string error;
    EXPECT_FALSE(demo::ParseControlMessage(text, action, error)) << text;
    EXPECT_FALSE(error.empty()) << text;
    return error;
}

TEST(ControlHex, BlanksAreOptionalAndCaseIsFree) {
    std::vector<uint8_t> bytes;
    const std::vector<uint8_t> expected = {0x02, 0x00, 0xEE, 0x13, 0xFE, 0x0E, 0x00, 0x01};
    ASSERT_TRUE(demo::ParseHexBytes("02 00 EE 13 FE 0E 00 01", bytes));
    EXPECT_EQ(bytes, expected);
    ASSERT_TRUE(demo::ParseHexBytes("0200ee13fe0e0001", bytes));
    EXPECT_EQ(bytes, expected);
    ASSERT_TRUE(demo::ParseHexBytes("  02\t00EE 13FE0E  0001 ", bytes));
    EXPECT_EQ(bytes, expected);
}

TEST(ControlHex, RefusesWhatIsNotWholeBytes) {
    std::vector<uint8_t> bytes;
    EXPECT_FALSE(demo::ParseHexBytes("", bytes));
    EXPECT_FALSE(demo::ParseHexBytes("   ", bytes));
    EXPECT_FALSE(demo::ParseHexBytes("02 0", bytes));    // odd digit count
    EXPECT_FALSE(demo::ParseHexBytes("02 0G", bytes));   // not hexadecimal
    EXPECT_FALSE(demo::ParseHexBytes("0x02", bytes));    // no prefixes
    EXPECT_FALSE(demo::ParseHexBytes("02,80", bytes));   // blanks only between digits
    EXPECT_FALSE(demo::ParseHexBytes("02\n80", bytes));  // a line break is not a blank
}

TEST(ControlHex, FormatsUpperCasePairs) {
    EXPECT_EQ(demo::FormatHexBytes({0x06, 0x01, 0x00, 0xAB, 0xff}), "06 01 00 AB FF");
    EXPECT_EQ(demo::FormatHexBytes({}), "");
    std::vector<uint8_t> all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<uint8_t>(i));
    std::vector<uint8_t> back;
    ASSERT_TRUE(demo::ParseHexBytes(demo::FormatHexBytes(all), back));
    EXPECT_EQ(back, all);
}

TEST(ControlMessage, ReportPenAndButtons) {
    ControlAction report = Parsed(R"({"report":"02 80 4F 4B"})");
    EXPECT_EQ(report.kind, ControlAction::kReport);
    EXPECT_EQ(report.report, (std::vector<uint8_t>{0x02, 0x80, 0x4F, 0x4B}));

    ControlAction pen = Parsed(R"({"pen":[10205, 0, 65535]})");
    EXPECT_EQ(pen.kind, ControlAction::kPen);
    EXPECT_EQ(pen.x, 10205);
    EXPECT_EQ(pen.y, 0);
    EXPECT_EQ(pen.pressure, 65535);

    for (const char* code : {"CL", "OK", "CNCL"}) {
        ControlAction button = Parsed(std::string(R"({"button":")") + code + "\"}");
        EXPECT_EQ(button.kind, ControlAction::kButton);
        EXPECT_EQ(button.word, code);
    }
}

TEST(ControlMessage, RefusePluggedAndFinger) {
    ControlAction refuse = Parsed(R"({"refuse":[1,4,4]})");
    EXPECT_EQ(refuse.kind, ControlAction::kRefuse);
    EXPECT_EQ(refuse.refused, (std::set<uint8_t>{1, 4}));
    EXPECT_TRUE(Parsed(R"({"refuse":[]})").refused.empty());

    EXPECT_FALSE(Parsed(R"({"plugged":false})").plugged);
    ControlAction plugged = Parsed(R"({"plugged":true})");
    EXPECT_EQ(plugged.kind, ControlAction::kPlugged);
    EXPECT_TRUE(plugged.plugged);

    for (const char* word : {"place", "lift", "absent", "present"}) {
        ControlAction finger = Parsed(std::string(R"({"finger":")") + word + "\"}");
        EXPECT_EQ(finger.kind, ControlAction::kFinger);
        EXPECT_EQ(finger.word, word);
    }
    // White space around the object is allowed, as any JSON writer may add it.
    EXPECT_EQ(Parsed(" \n{ \"finger\" : \"lift\" }\r\n").word, "lift");
}

TEST(ControlMessage, RefusesMalformedShapes) {
    Refused("");
    Refused("not json");
    Refused(R"({"button":"OK")");                  // cut short
    Refused(R"({"button":"OK"}{"button":"CL"})");  // two messages in one frame
    Refused(R"(["button","OK"])");
    Refused("{}");
    Refused(R"({"button":"OK","pen":[1,2,3]})");  // one member only
    Refused(R"({"Button":"OK"})");                // names are exact
    Refused(R"({"click":"OK"})");
}

TEST(ControlMessage, RefusesValuesOutOfRange) {
    Refused(R"({"report":""})");
    Refused(R"({"report":"2"})");
    Refused(R"({"report":[2,128]})");
    Refused(R"({"report":")" + std::string(2 * (demo::kMaxControlReport + 1), 'A') + "\"}");
    Parsed(R"({"report":")" + std::string(2 * demo::kMaxControlReport, 'A') + "\"}");

    Refused(R"({"pen":[1,2]})");
    Refused(R"({"pen":[1,2,3,4]})");
    Refused(R"({"pen":[65536,2,3]})");
    Refused(R"({"pen":[-1,2,3]})");
    Refused(R"({"pen":[1.5,2,3]})");
    Refused(R"({"pen":["1",2,3]})");
    Refused(R"({"pen":{"x":1,"y":2,"p":3}})");

    Refused(R"({"button":"ok"})");
    Refused(R"({"button":"CANCEL"})");
    Refused(R"({"button":1})");
    Refused(R"({"refuse":[256]})");
    Refused(R"({"refuse":[-1]})");
    Refused(R"({"refuse":1})");
    Refused(R"({"refuse":["1"]})");
    Refused(R"({"plugged":"false"})");
    Refused(R"({"plugged":0})");
    Refused(R"({"finger":"press"})");
    Refused(R"({"finger":true})");
}

// Events are parsed back with a JSON reader, the way control clients read them.
TEST(ControlEvents, AreCompactJson) {
    EXPECT_EQ(demo::FeatureEvent({0x06, 0x01, 0, 0, 0, 0, 0, 0, 0, 0}, true),
              R"({"feature":"06 01 00 00 00 00 00 00 00 00","accepted":true})");
    EXPECT_EQ(demo::FeatureEvent({0x06, 0x04}, false), R"({"feature":"06 04","accepted":false})");
    EXPECT_EQ(demo::PadEvent(true), R"({"pad":"open"})");
    EXPECT_EQ(demo::PadEvent(false), R"({"pad":"closed"})");
    EXPECT_EQ(demo::ReaderEvent(true), R"({"reader":"open"})");
    EXPECT_EQ(demo::ReaderEvent(false), R"({"reader":"closed"})");

    // An error sentence quoting what the client sent stays valid JSON.
    std::string error;
    ControlAction action;
    ASSERT_FALSE(demo::ParseControlMessage(R"({"a\"b\\c\u0001":1})", action, error));
    std::string event = demo::ErrorEvent(error);
    cJSON* parsed = cJSON_Parse(event.c_str());
    ASSERT_NE(parsed, nullptr) << event;
    const cJSON* member = cJSON_GetObjectItemCaseSensitive(parsed, "error");
    ASSERT_TRUE(cJSON_IsString(member));
    EXPECT_EQ(std::string(member->valuestring), error);
    EXPECT_NE(error.find("a\"b\\c"), std::string::npos);
    cJSON_Delete(parsed);
}

}  // namespace
