#include "CRegistryWatchLoop.h"

#include "CHelpers.h"
#include "Logger.h"

#include <exception>

namespace {
const DWORD kNotifyFilter = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_ATTRIBUTES | REG_NOTIFY_CHANGE_LAST_SET |
                            REG_NOTIFY_CHANGE_SECURITY;
}

CRegistryWatchLoop::CRegistryWatchLoop(HKEY key, const char* valueName, HANDLE changeEvent, HANDLE stopEvent,
                                       HANDLE pauseEvent, HANDLE resumeEvent)
    : m_hKey(key), m_pszValueName(valueName), m_handles{changeEvent, stopEvent, pauseEvent, resumeEvent} {}

bool CRegistryWatchLoop::Arm() {
    ::ResetEvent(m_handles[0]);
    return ::RegNotifyChangeKeyValue(m_hKey, TRUE, kNotifyFilter, m_handles[0], TRUE) == ERROR_SUCCESS;
}

bool CRegistryWatchLoop::ReadValue(DWORD& value) const {
    DWORD data = 0;
    DWORD size = sizeof(data);
    if (::RegQueryValueExA(m_hKey, m_pszValueName, nullptr, nullptr, reinterpret_cast<BYTE*>(&data), &size) !=
        ERROR_SUCCESS)
        return false;
    value = data;
    return true;
}

void CRegistryWatchLoop::Serve(const WatchLoopTexts& texts, bool armed, DWORD& prev, DWORD& cur,
                               const std::function<void()>& onChange, const std::function<int()>& onPause) {
    for (;;) {
        if (texts.loopTurn) LogWrite(texts.functionName, texts.loopTurn, 1);
        if (!armed) {
            if (texts.armFailed) LogWrite(texts.functionName, texts.armFailed, 1);
            return;
        }
        DWORD served = ::WaitForMultipleObjects(4, m_handles, FALSE, INFINITE);
        if (served == WAIT_FAILED) {
            ::ResetEvent(m_handles[0]);
            return;
        }
        switch (served - WAIT_OBJECT_0) {
        case 0: {
            // Armed before the read: what changes from here on wakes the next turn.
            // A failed arming ends the loop at the next turn, after this change.
            armed = Arm();
            DWORD value = 0;
            if (ReadValue(value)) {
                if (texts.changeDetected) LogWrite(texts.functionName, texts.changeDetected, 1);
                cur = value;
                // What one change raises (memory for a line, an observer's
                // failure) ends that change alone: the watcher goes on with the next.
                try {
                    onChange();
                } catch (const std::exception& e) {
                    LogWrite(texts.functionName, e.what(), 2);
                }
                prev = cur;
            }
            break;
        }
        case 1:
            return;
        case 2:
            // Still armed while paused: a change meanwhile is served after the resume.
            if (texts.pauseEntered) LogWrite(texts.functionName, texts.pauseEntered, 1);
            if (onPause() == 0) {
                LogWrite(texts.functionName, texts.pauseFailed, 2);
                return;
            }
            break;
        case 3:
            LogWrite(texts.functionName, texts.resumeReset, 1);
            ::ResetEvent(m_handles[3]);
            break;
        default:
            break;
        }
    }
}

int CRegistryWatchLoop::WaitWhilePaused(const char* functionName, HANDLE pauseEvent, HANDLE resumeEvent,
                                        HANDLE stopEvent) {
    ::ResetEvent(pauseEvent);
    HANDLE handles[2] = {resumeEvent, stopEvent};
    DWORD served = ::WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    if (served == WAIT_FAILED) {
        LogWrite(functionName,
                 "WaitForSingleObject encountered an unexpected error, errorcode = " +
                     CHelpers::ToString(::GetLastError()),
                 2);
        return 1;
    }
    if (served == WAIT_OBJECT_0) {
        LogWrite(functionName, "PSensorWatcher thread has been resumed due to Tablet mode switch event.", 1);
        ::ResetEvent(resumeEvent);
        return 1;
    }
    LogWrite(functionName, "PSensorWatcher thread terminate event triggered.", 1);
    return 0;
}
