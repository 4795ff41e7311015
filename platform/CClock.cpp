#include "CClock.h"

#include <atomic>

namespace {
std::atomic<DWORD> s_divisor{1};
std::atomic<CClock::Observer> s_observer{nullptr};
// Per thread, so that a stop never reaches another application's worker (tests
// run several one after another) and needs no re-arming.
thread_local HANDLE t_stopEvent = nullptr;
// The least real time a bound on a peer's answer gives it, whatever the divisor.
const DWORD kBoundFloorMs = 2000;

// Made on first use and never closed: it must outlive every thread that waits on it.
HANDLE TheProcessEndEvent() {
    static const HANDLE event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return event;
}

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

DWORD CClock::ScaleBound(DWORD ms) {
    if (ms == INFINITE) return ms;
    const DWORD floor = ms < kBoundFloorMs ? ms : kBoundFloorMs;
    const DWORD scaled = Scale(ms);
    return scaled < floor ? floor : scaled;
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

CClock::CThreadStopScope::CThreadStopScope(HANDLE stopEvent) : m_hPrevious(t_stopEvent) { t_stopEvent = stopEvent; }

CClock::CThreadStopScope::~CThreadStopScope() { t_stopEvent = m_hPrevious; }

bool CClock::SleepUnlessStopped(DWORD ms) {
    Notify(ms);
    HANDLE stop = t_stopEvent;
    if (stop == nullptr) {
        ::Sleep(Scale(ms));
        return true;
    }
    // A stop event that can no longer be waited on belongs to a worker being torn down: stop too.
    return ::WaitForSingleObject(stop, Scale(ms)) == WAIT_TIMEOUT;
}

bool CClock::IsStopRequested() {
    HANDLE stop = t_stopEvent;
    return stop != nullptr && ::WaitForSingleObject(stop, 0) != WAIT_TIMEOUT;
}

void CClock::SignalProcessEnd() {
    if (HANDLE event = TheProcessEndEvent()) ::SetEvent(event);
}

bool CClock::SleepUnlessProcessEnding(DWORD ms) {
    Notify(ms);
    HANDLE event = TheProcessEndEvent();
    if (event == nullptr) {
        ::Sleep(Scale(ms));
        return true;
    }
    return ::WaitForSingleObject(event, Scale(ms)) == WAIT_TIMEOUT;
}

HANDLE CClock::ProcessEndEvent() { return TheProcessEndEvent(); }

CClock::WaitEnd CClock::WaitUnlessStopped(HANDLE event, DWORD boundMs) {
    const DWORD bound = ScaleBound(boundMs);
    HANDLE stop = t_stopEvent;
    if (stop == nullptr) {
        const DWORD end = ::WaitForSingleObject(event, bound);
        return end == WAIT_OBJECT_0 || end == WAIT_ABANDONED ? WaitEnd::Signalled : WaitEnd::TimedOut;
    }
    const HANDLE handles[2] = {event, stop};
    switch (::WaitForMultipleObjects(2, handles, FALSE, bound)) {
        case WAIT_OBJECT_0:
        case WAIT_ABANDONED_0:
            return WaitEnd::Signalled;
        case WAIT_TIMEOUT:
            return WaitEnd::TimedOut;
        default:
            // The stop, or a stop event that can no longer be waited on (a worker being torn down).
            return WaitEnd::Stopped;
    }
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
