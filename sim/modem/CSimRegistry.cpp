#include "CSimRegistry.h"

#include <algorithm>
#include <thread>
#include <vector>

CSimRegistry::CSimRegistry(ApplyFn apply, SnapshotFn snapshot)
    : m_apply(std::move(apply)), m_snapshot(std::move(snapshot)), m_dirty(::CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

void CSimRegistry::StartRemote() {
    m_remote = true;
    WriteStatus();
    if (!m_started.exchange(true)) std::thread([this] { Run(); }).detach();
}

void CSimRegistry::MarkDirty() {
    if (m_remote) ::SetEvent(m_dirty.Get());
}

void CSimRegistry::WriteStatus() {
    std::lock_guard<std::mutex> lock(m_statusLock);
    simreg::Status status = m_snapshot();
    status.pid = ::GetCurrentProcessId();
    status.applied = m_applied;
    status.rejected = m_rejected;
    status.lastRejected = m_lastRejected;
    simreg::WriteStatus(status);
}

void CSimRegistry::Run() {
    CUniqueHKey control;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, simreg::kControlKey, 0, nullptr, 0, KEY_READ | KEY_SET_VALUE | KEY_NOTIFY,
                          nullptr, control.Put(), nullptr) != ERROR_SUCCESS)
        return;
    CUniqueHandle changed(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    for (;;) {
        // Ask first, then read: a change written in between still wakes us.
        ::RegNotifyChangeKeyValue(control.Get(), FALSE, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET,
                                  changed.Get(), TRUE);
        if (m_remote) {
            DWORD owner = 0, size = sizeof(owner);
            if (::RegGetValueW(HKEY_LOCAL_MACHINE, simreg::kStatusKey, L"Pid", RRF_RT_REG_DWORD, nullptr, &owner,
                               &size) == ERROR_SUCCESS &&
                owner == ::GetCurrentProcessId()) {
                ApplyPending(control.Get());
                WriteStatus();  // also when only the dirty event woke us
            }
        }
        HANDLE waits[2] = {changed.Get(), m_dirty.Get()};
        ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    }
}

void CSimRegistry::ApplyPending(HKEY control) {
    std::vector<std::wstring> names;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD length = 256;
        if (::RegEnumValueW(control, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.emplace_back(name, length);
    }
    // The senders name their values by a zero-padded counter: name order is send order.
    std::sort(names.begin(), names.end());
    std::lock_guard<std::mutex> lock(m_statusLock);
    for (const std::wstring& name : names) {
        wchar_t text[4096];
        DWORD size = sizeof(text);
        LONG rc = ::RegGetValueW(control, nullptr, name.c_str(), RRF_RT_REG_SZ, nullptr, text, &size);
        if (rc == ERROR_SUCCESS) {
            if (m_apply(text)) {
                ++m_applied;
            } else {
                ++m_rejected;
                m_lastRejected = text;
            }
        } else {
            ++m_rejected;
            m_lastRejected = name;
        }
        // Deleted only after it took effect: the sender waits for it to vanish.
        ::RegDeleteValueW(control, name.c_str());
    }
}
