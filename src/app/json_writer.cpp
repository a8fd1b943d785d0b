#include "app/json_writer.h"

#include <cmath>
#include <cstdio>

#include "platform/shared/console_text.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// The code point that starts at text[*at], moving *at past it; a byte that
// starts no valid sequence (stray continuation, overlong form, surrogate,
// beyond U+10FFFF, cut short) gives U+FFFD and moves on by that byte alone.
char32_t NextCodePoint(const std::string& text, size_t* at) {
    const unsigned char lead = static_cast<unsigned char>(text[*at]);
    if (lead < 0x80) {
        ++*at;
        return lead;
    }
    // The sequence's length, the lead's own bits, and the least code point
    // that needs that length (anything less is an overlong form).
    struct Form {
        size_t length;
        unsigned leadBits;
        char32_t least;
    };
    Form form{};
    if (lead >= 0xC2 && lead <= 0xDF) {
        form = Form{2, lead & 0x1Fu, 0x80};
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        form = Form{3, lead & 0x0Fu, 0x800};
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        form = Form{4, lead & 0x07u, 0x10000};
    } else {
        ++*at;
        return kReplacement;
    }
    const size_t length = form.length;
    char32_t c = form.leadBits;
    if (text.size() - *at < length) {
        ++*at;
        return kReplacement;
    }
    for (size_t i = 1; i < length; ++i) {
        const unsigned char next = static_cast<unsigned char>(text[*at + i]);
        if ((next & 0xC0) != 0x80) {
            ++*at;
            return kReplacement;
        }
        c = (c << 6) | (next & 0x3Fu);
    }
    if (c < form.least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        ++*at;
        return kReplacement;
    }
    *at += length;
    return c;
}

bool IsControl(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

}  // namespace

std::string JsonString(const std::string& utf8) {
    std::string out = "\"";
    size_t at = 0;
    while (at < utf8.size()) {
        const char32_t c = NextCodePoint(utf8, &at);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (IsControl(c)) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else {
            platform::AppendUtf8(out, c);
        }
    }
    out += '"';
    return out;
}

void JsonWriter::LineBreak() {
    text_ += '\n';
    text_.append(2 * levels_.size(), ' ');
}

// Separates the value from the one before it in its container, unless a key
// has just been written for it.
void JsonWriter::BeginValue() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (levels_.empty()) return;
    Level& level = levels_.back();
    if (!level.empty) text_ += ',';
    level.empty = false;
    if (level.oneLine) {
        if (text_.back() == ',') text_ += ' ';
    } else {
        LineBreak();
    }
}

void JsonWriter::Open(char bracket, Layout layout) {
    BeginValue();
    const bool inOneLine = !levels_.empty() && levels_.back().oneLine;
    levels_.push_back(Level{inOneLine || layout == Layout::kOneLine, true});
    text_ += bracket;
}

void JsonWriter::Close(char bracket) {
    if (levels_.empty()) return;
    const Level level = levels_.back();
    levels_.pop_back();
    if (!level.empty && !level.oneLine) LineBreak();
    text_ += bracket;
    if (levels_.empty()) text_ += '\n';
}

JsonWriter& JsonWriter::BeginObject(Layout layout) {
    Open('{', layout);
    return *this;
}

JsonWriter& JsonWriter::EndObject() {
    Close('}');
    return *this;
}

JsonWriter& JsonWriter::BeginArray(Layout layout) {
    Open('[', layout);
    return *this;
}

JsonWriter& JsonWriter::EndArray() {
    Close(']');
    return *this;
}

JsonWriter& JsonWriter::Key(const char* name) {
    BeginValue();
    text_ += JsonString(name);
    text_ += ": ";
    afterKey_ = true;
    return *this;
}

JsonWriter& JsonWriter::String(const std::string& utf8) {
    BeginValue();
    text_ += JsonString(utf8);
    return *this;
}

JsonWriter& JsonWriter::Integer(int64_t value) {
    BeginValue();
    text_ += std::to_string(value);
    return *this;
}

JsonWriter& JsonWriter::Decimal(double value, int decimals) {
    if (!std::isfinite(value)) return Null();
    BeginValue();
    char number[kDecimalTextSize];
    std::snprintf(number, sizeof number, "%.*f", decimals, value);
    text_ += number;
    return *this;
}

JsonWriter& JsonWriter::Bool(bool value) {
    BeginValue();
    text_ += value ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::Null() {
    BeginValue();
    text_ += "null";
    return *this;
}
