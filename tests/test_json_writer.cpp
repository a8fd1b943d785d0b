// The JSON writer: string escaping, the layout of containers, numbers.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "app/json_writer.h"
#include "case_names.h"

namespace {

using case_names::operator<<;

struct EscapeCase : case_names::Named {
    std::string utf8;
    std::string literal;
};

class JsonStringTest : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(JsonStringTest, EscapesWhatJsonAndTerminalsNeed) {
    EXPECT_EQ(JsonString(GetParam().utf8), GetParam().literal);
}

INSTANTIATE_TEST_SUITE_P(
    Table, JsonStringTest,
    ::testing::Values(
        EscapeCase{{"PlainText"}, "Intel(R) Core(TM) i7", "\"Intel(R) Core(TM) i7\""},
        EscapeCase{{"Empty"}, "", "\"\""},
        EscapeCase{{"QuoteAndBackslash"}, "a\"b\\c", "\"a\\\"b\\\\c\""},
        EscapeCase{{"LineBreakAndTab"}, "a\nb\tc\r", "\"a\\u000ab\\u0009c\\u000d\""},
        EscapeCase{{"EscapeAndBell"}, "\x1b[31m\x07", "\"\\u001b[31m\\u0007\""},
        EscapeCase{{"NulInTheMiddle"}, std::string("a\0b", 3), "\"a\\u0000b\""},
        EscapeCase{{"Delete"}, "\x7f", "\"\\u007f\""},
        // U+009B is a terminal's one-byte CSI.
        EscapeCase{{"C1ControlAsUtf8"}, "\xC2\x9B" "2J", "\"\\u009b2J\""},
        EscapeCase{{"AccentsStayUtf8"}, "acc\xC3\xA9" "der \xE2\x82\xAC", "\"acc\xC3\xA9" "der \xE2\x82\xAC\""},
        EscapeCase{{"FourByteSequenceStays"}, "\xF0\x9D\x84\x9E", "\"\xF0\x9D\x84\x9E\""},
        EscapeCase{{"StrayContinuationByte"}, "a\x80" "b", "\"a\xEF\xBF\xBD" "b\""},
        EscapeCase{{"Windows1252ByteNotConverted"}, "\xE9t\xE9", "\"\xEF\xBF\xBDt\xEF\xBF\xBD\""},
        EscapeCase{{"OverlongSlash"}, "\xC0\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
        EscapeCase{{"Surrogate"}, "\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
        EscapeCase{{"BeyondUnicode"}, "\xF4\x90\x80\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
        EscapeCase{{"CutShortAtTheEnd"}, "a\xE2\x82", "\"a\xEF\xBF\xBD\xEF\xBF\xBD\""},
        // A quote after a cut-short sequence is still escaped, not swallowed.
        EscapeCase{{"CutShortBeforeAQuote"}, "\xE2\x82\"", "\"\xEF\xBF\xBD\xEF\xBF\xBD\\\"\""}),
    case_names::ByName{});

TEST(JsonWriterTest, IndentsContainersAndKeepsOneLineOnesOnOneLine) {
    JsonWriter w;
    w.BeginObject();
    w.Key("name").String("x");
    w.Key("list").BeginArray();
    w.BeginObject(JsonWriter::Layout::kOneLine);
    w.Key("id").Integer(1);
    w.Key("l2").BeginObject().Key("size_kb").Integer(512).EndObject();
    w.Key("t").Null();
    w.EndObject();
    w.Integer(-7);
    w.EndArray();
    w.Key("empty").BeginArray().EndArray();
    w.Key("none").BeginObject().EndObject();
    w.Key("flag").Bool(false);
    w.EndObject();
    EXPECT_EQ(w.Text(),
              "{\n"
              "  \"name\": \"x\",\n"
              "  \"list\": [\n"
              "    {\"id\": 1, \"l2\": {\"size_kb\": 512}, \"t\": null},\n"
              "    -7\n"
              "  ],\n"
              "  \"empty\": [],\n"
              "  \"none\": {},\n"
              "  \"flag\": false\n"
              "}\n");
}

TEST(JsonWriterTest, DecimalsAsTheReportPrintsThemAndNullWhenNotFinite) {
    const struct {
        double value;
        int decimals;
        const char* text;
    } cases[] = {{2000.0, 2, "2000.00"},
                 {1899.999, 2, "1900.00"},
                 {8.0, 1, "8.0"},
                 {-3.25, 1, "-3.2"},
                 {std::nan(""), 2, "null"},
                 {std::numeric_limits<double>::infinity(), 1, "null"},
                 {-std::numeric_limits<double>::infinity(), 1, "null"},
                 {std::numeric_limits<double>::max(), 2, nullptr}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        JsonWriter w;
        w.BeginArray().Decimal(c.value, c.decimals).EndArray();
        const std::string& text = w.Text();
        if (c.text != nullptr) {
            EXPECT_EQ(text, std::string("[\n  ") + c.text + "\n]\n");
        } else {
            // The largest double is written whole: 309 digits and two decimals.
            EXPECT_EQ(text.find("e"), std::string::npos);
            EXPECT_EQ(text.size(), std::string("[\n  \n]\n").size() + 309 + 3);
        }
    }
}

}  // namespace
