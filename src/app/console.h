// The report's output, in the program's single-byte text; the platform layer
// decides how those bytes reach the console.
#pragma once

#if defined(__GNUC__)
#define VEXMORA_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define VEXMORA_PRINTF(f, a)
#endif

// The text and a line break, as puts writes it.
void ConsolePuts(const char* text);
void ConsolePrintf(const char* format, ...) VEXMORA_PRINTF(1, 2);
