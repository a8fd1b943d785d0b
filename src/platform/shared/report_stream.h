// Standard output as the report's stream, for the Windows and Linux layers:
// every write and flush is checked, and the first error is kept until the end.
#pragma once

#include <cstddef>

namespace platform {

void WriteReportStream(const char* bytes, size_t count);
void FlushReportStream();

// Flushes, then gives the first error a write or flush met, or 0.
int FinishReportStream();

// Keeps the lines of a note written to standard error, for NotesWritten.
void KeepNote(const char* text);

}  // namespace platform
