#include "SarPlatform.h"

#include "CClock.h"
#include "Handles.h"

namespace {
std::wstring SystemMessage(HRESULT code) {
    CUniqueLocal text;
    DWORD length = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                        FORMAT_MESSAGE_IGNORE_INSERTS,
                                    nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(text.Put<wchar_t>()),
                                    0, nullptr);
    std::wstring message;
    if (length && text) message.assign(text.Get<wchar_t>(), length);
    while (!message.empty() && iswspace(message.back())) message.pop_back();
    return message;
}
}  // namespace

hresult_error::hresult_error(HRESULT code) : m_code(code), m_message(SystemMessage(code)) {}

hresult_error::hresult_error(HRESULT code, std::wstring message) : m_code(code), m_message(std::move(message)) {
    if (m_message.empty()) m_message = SystemMessage(code);
}

void SarAwaitCompletion(ISarCompletion& operation, DWORD boundMs) {
    // Shared with the handler, which may still run after a wait that gave up.
    auto completed = std::make_shared<CUniqueHandle>(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!*completed) {
        const DWORD error = ::GetLastError();
        throw hresult_error(error != ERROR_SUCCESS ? HRESULT_FROM_WIN32(error) : E_OUTOFMEMORY);
    }
    operation.Completed([completed] { ::SetEvent(completed->Get()); });
    switch (CClock::WaitUnlessStopped(completed->Get(), boundMs)) {
        case CClock::WaitEnd::Signalled:
            return;
        case CClock::WaitEnd::Stopped:
            throw hresult_error(SAR_E_STOPPED);
        case CClock::WaitEnd::TimedOut:
            throw hresult_error(SAR_E_TIMEOUT);
    }
}
