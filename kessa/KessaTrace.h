// The library's debug output: OutputDebugStringA/W with the texts as they stand.
#pragma once

// printf-style text to OutputDebugStringA.
void KessaPrint(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
// Wide text to OutputDebugStringW, unformatted.
void KessaPrintW(const wchar_t* text);

// Receives every text as it is written (narrow, wide text converted to UTF-8), for tests.
using KessaTraceObserver = void (*)(const char* text);
void SetKessaTraceObserver(KessaTraceObserver observer);
