#include "app/console.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/seam.h"

void ConsolePuts(const char* text) {
    platform::WriteReport(text, std::strlen(text));
    platform::WriteReport("\n", 1);
}

void ConsolePrintf(const char* format, ...) {
    char small[256];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (length < 0) {
        va_end(again);
        return;
    }
    if (static_cast<size_t>(length) < sizeof small) {
        platform::WriteReport(small, static_cast<size_t>(length));
    } else {
        std::vector<char> large(static_cast<size_t>(length) + 1);
        std::vsnprintf(large.data(), large.size(), format, again);
        platform::WriteReport(large.data(), static_cast<size_t>(length));
    }
    va_end(again);
}
