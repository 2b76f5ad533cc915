// The JSON adapter: member lookup, printing back, and the decimal reading of
// parameters.
#include "commands/json.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
constexpr int32_t kMin = std::numeric_limits<int32_t>::min();

TEST(Json, FindsMembersWithLetterCaseIgnoredFirstOneWins) {
    JsonDocument d = ParseJson(R"({"TypeName":"A","typename":"B","MESSAGE":{"PenWidth":"3"}})");
    EXPECT_EQ(GetMemberText(d, "typeName"), "A");
    EXPECT_EQ(PrintMember(d, "message"), R"({"PenWidth":"3"})");
    EXPECT_EQ(GetMemberText(ParseJson(PrintMember(d, "message")), "penwidth"), "3");
}

TEST(Json, GivesNothingForMembersThatAreNotStrings) {
    JsonDocument d =
        ParseJson(R"({"n":3,"t":true,"z":null,"o":{"a":"b"},"a":["x"],"s":"","big":99999999999})");
    for (const char* name : {"n", "t", "z", "o", "a", "missing", "big"})
        EXPECT_EQ(GetMemberText(d, name), "") << name;
    EXPECT_EQ(PrintMember(d, "n"), "3");
    EXPECT_EQ(PrintMember(d, "z"), "null");
    EXPECT_EQ(PrintMember(d, "a"), R"(["x"])");
    EXPECT_EQ(PrintMember(d, "s"), R"("")");
    EXPECT_EQ(PrintMember(d, "missing"), "");
}

TEST(Json, PrintsWithoutWhiteSpaceAndKeepsEscapes) {
    JsonDocument d =
        ParseJson("{ \"message\" : { \"penwidth\" : \"3\" ,\n \"q\\\"\" : [ 1 , 2 ] } }");
    EXPECT_EQ(PrintMember(d, "message"), R"({"penwidth":"3","q\"":[1,2]})");
    JsonDocument s = ParseJson(R"({"message":"a\"b\\c"})");
    EXPECT_EQ(PrintMember(s, "message"), R"("a\"b\\c")");
}

TEST(Json, OnlyTheFirstValueCountsAndNonObjectsHaveNoMembers) {
    JsonDocument two = ParseJson(R"({"typeName":"First"}{"typeName":"Second"})");
    EXPECT_EQ(GetMemberText(two, "typeName"), "First");
    for (const char* text : {"", "not json", "{\"typeName\":", "[\"typeName\"]", "\"typeName\"",
                             "42", "[{\"typeName\":\"x\"}]"}) {
        JsonDocument d = ParseJson(text);
        EXPECT_EQ(GetMemberText(d, "typeName"), "") << text;
        EXPECT_EQ(PrintMember(d, "typeName"), "") << text;
    }
}

TEST(Json, SurvivesDeepNesting) {
    std::string deep = "{\"typeName\":" + std::string(5000, '[') + std::string(5000, ']') + "}";
    EXPECT_EQ(GetMemberText(ParseJson(deep), "typeName"), "");
}

TEST(DecimalValue, ReadsLikeTheCRuntimeButClamps) {
    const std::pair<const char*, int32_t> cases[] = {
        {"3", 3},
        {"  \t\n42", 42},
        {"+7", 7},
        {"-12", -12},
        {"3px", 3},
        {"px3", 0},
        {"", 0},
        {"-", 0},
        {"+-3", 0},
        {" - 3", 0},
        {"2147483647", kMax},
        {"2147483648", kMax},
        {"99999999999", kMax},
        {"99999999999999999999999999999999", kMax},
        {"-2147483648", kMin},
        {"-2147483649", kMin},
        {"-99999999999999999999999999", kMin},
        {"0000000000000000000000012", 12},
        {"1e3", 1},
        {"0x10", 0},
    };
    for (const auto& [text, value] : cases) EXPECT_EQ(DecimalValue(text), value) << text;
}

}  // namespace
