// The program's single-byte texts as UTF-8, for hosts whose terminals use it:
// the Linux layer and the replay tool print the same bytes the same way.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

// One code point (up to U+10FFFF), appended as UTF-8.
void AppendUtf8(std::string& out, char32_t c);

// Report bytes, which the console shows in code page 850 (the OEM page of a French Windows).
std::string CodePage850ToUtf8(const char* bytes, size_t count);

// Message box texts, which are Windows-1252.
std::string Windows1252ToUtf8(const char* text);

}  // namespace platform
