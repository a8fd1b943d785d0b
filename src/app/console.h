// The report's output, in the program's single-byte text; the platform layer
// decides how those bytes reach the console.
#pragma once

// The text and a line break, as puts writes it.
void ConsolePuts(const char* text);
// Checked like printf by both compilers the program is built with.
void ConsolePrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
