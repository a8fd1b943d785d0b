// A small writer of one JSON document, two-space indented: enough for the
// report's --json form without a library. Strings are taken as UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The string as a JSON literal, quotes included. Quotes, backslashes and
// control characters (C0, DEL and C1) are escaped, the controls as \u00XX, so
// that a name read from a dump cannot drive a terminal the document is shown
// on; a byte that is not part of valid UTF-8 becomes U+FFFD.
std::string JsonString(const std::string& utf8);

// Room for printf's %.Nf of any finite double with a few decimals: its
// integer part has at most 309 digits.
constexpr size_t kDecimalTextSize = 400;

class JsonWriter {
public:
    // kOneLine keeps a container and everything in it on one line: a small
    // object among thousands (one per processor) stays readable.
    enum class Layout { kIndented, kOneLine };

    JsonWriter& BeginObject(Layout layout = Layout::kIndented);
    JsonWriter& EndObject();
    JsonWriter& BeginArray(Layout layout = Layout::kIndented);
    JsonWriter& EndArray();
    // Names the next value; inside an object only.
    JsonWriter& Key(const char* name);

    JsonWriter& String(const std::string& utf8);
    JsonWriter& Integer(int64_t value);
    // With that many decimals, as printf's %.Nf writes them, so that a figure
    // reads as the French report prints it; null where the value is not finite.
    JsonWriter& Decimal(double value, int decimals);
    JsonWriter& Bool(bool value);
    JsonWriter& Null();

    // The document, ending with a line break once its outermost value is closed.
    const std::string& Text() const { return text_; }

private:
    struct Level {
        bool oneLine;
        bool empty;
    };
    void BeginValue();
    void Open(char bracket, Layout layout);
    void Close(char bracket);
    void LineBreak();

    std::string text_;
    std::vector<Level> levels_;
    bool afterKey_ = false;
};
