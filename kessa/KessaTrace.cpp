#include "KessaTrace.h"

#include <windows.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>

namespace {
std::atomic<KessaTraceObserver> s_observer{nullptr};
}

void KessaPrint(const char* format, ...) {
    char buffer[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    ::OutputDebugStringA(buffer);
    if (KessaTraceObserver observer = s_observer.load()) observer(buffer);
}

void KessaPrintW(const wchar_t* text) {
    if (text == nullptr) return;
    ::OutputDebugStringW(text);
    if (KessaTraceObserver observer = s_observer.load()) {
        int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
        if (size <= 0) return;
        std::string narrow(static_cast<size_t>(size), '\0');
        ::WideCharToMultiByte(CP_UTF8, 0, text, -1, &narrow[0], size, nullptr, nullptr);
        observer(narrow.c_str());
    }
}

void SetKessaTraceObserver(KessaTraceObserver observer) { s_observer.store(observer); }
