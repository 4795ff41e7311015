// The body of a Mobile Broadband sink's event method: no exception may leave
// it into the platform's thread, which knows nothing of C++ exceptions. What
// one event raises ends that event alone, with one line.
#pragma once

#include "Logger.h"

#include <windows.h>
#include <exception>

template <typename TBody>
HRESULT SinkCall(const char* functionName, TBody body) {
    try {
        return body();
    } catch (const std::exception& e) {
        LogWrite(functionName, e.what(), 2);
    } catch (...) {
        LogWrite(functionName, "Unknown exception", 2);
    }
    return E_UNEXPECTED;
}
