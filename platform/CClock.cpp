#include "CClock.h"

#include <atomic>

namespace {
std::atomic<DWORD> s_divisor{1};
std::atomic<CClock::Observer> s_observer{nullptr};

void Notify(DWORD ms) {
    if (CClock::Observer observer = s_observer.load()) observer(ms);
}
}  // namespace

DWORD CClock::Scale(DWORD ms) {
    if (ms == INFINITE || ms == 0) return ms;
    DWORD divisor = s_divisor.load();
    DWORD scaled = ms / divisor;
    return scaled == 0 ? 1 : scaled;
}

ULONGLONG CClock::TickCount64() { return ::GetTickCount64() * s_divisor.load(); }

void CClock::Sleep(DWORD ms) {
    Notify(ms);
    ::Sleep(Scale(ms));
}

DWORD CClock::Wait(HANDLE handle, DWORD ms) {
    Notify(ms);
    return ::WaitForSingleObject(handle, Scale(ms));
}

DWORD CClock::WaitMultiple(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD ms) {
    Notify(ms);
    return ::WaitForMultipleObjects(count, handles, waitAll, Scale(ms));
}

void CClock::SetDivisor(DWORD divisor) { s_divisor.store(divisor == 0 ? 1 : divisor); }

DWORD CClock::GetDivisor() { return s_divisor.load(); }

void CClock::SetObserver(Observer observer) { s_observer.store(observer); }

void CClock::LoadDivisorFromRegistry() {
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (::RegGetValueA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\TARVOSVC\\Debug", "ClockDivisor",
                       RRF_RT_REG_DWORD, nullptr, &value, &size) == ERROR_SUCCESS)
        SetDivisor(value);
}
