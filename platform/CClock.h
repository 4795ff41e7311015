// The one clock of the system's long sleeps and waits (10 s retries, the 90 s
// Thermova hold, the 120 s modem start-up, the 5 minute firmware wait...).
// Tests run it fast: every duration is divided by a divisor, 1 in production.
// A service process takes its divisor from the DWORD "ClockDivisor" under the
// Debug key, so end-to-end tests can speed up a service they start.
#pragma once

#include <windows.h>

class CClock {
public:
    // Called with every requested duration (before scaling), for tests that count waits.
    using Observer = void (*)(DWORD requestedMs);

    static void Sleep(DWORD ms);
    // WaitForSingleObject / WaitForMultipleObjects with the time-out scaled; INFINITE stays INFINITE.
    static DWORD Wait(HANDLE handle, DWORD ms);
    static DWORD WaitMultiple(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD ms);

    // A stop request that ends the long waits of the thread that installs it: a
    // worker installs its own stop event for its lifetime, so that code it calls
    // (modem start-up, library bindings) gives up its waits when the service stops.
    class CThreadStopScope {
    public:
        explicit CThreadStopScope(HANDLE stopEvent);
        ~CThreadStopScope();
        CThreadStopScope(const CThreadStopScope&) = delete;
        CThreadStopScope& operator=(const CThreadStopScope&) = delete;

    private:
        HANDLE m_hPrevious;
    };
    // Sleep, ended early by the calling thread's stop event: false when the stop
    // came (before or during the sleep), true after the full sleep. A thread
    // without a stop event sleeps in full.
    static bool SleepUnlessStopped(DWORD ms);
    // Whether the calling thread's stop event is set.
    static bool IsStopRequested();

    // The process is ending (its entry returns): set once, never cleared. A
    // thread in a step that watches no stop of its own still leaves it then,
    // before the runtime destroys what the thread would use.
    static void SignalProcessEnd();
    // Sleep, ended early by the process's end: false when it came.
    static bool SleepUnlessProcessEnding(DWORD ms);
    // The event that SignalProcessEnd sets: a thread whose own stop must not
    // end its waits (a watcher's, see CWatcherThermova) installs it as its
    // stop, so they end with the process. Null when it could not be made.
    static HANDLE ProcessEndEvent();

    enum class WaitEnd { Signalled, Stopped, TimedOut };
    // Waits for event for at most a bound on a peer's answer (boundMs, scaled
    // by ScaleBound; INFINITE: no bound), ended early by the calling thread's
    // stop event. An event set together with the stop counts as Signalled, and
    // so does a mutex whose owner ended without giving it back: the caller holds it.
    static WaitEnd WaitUnlessStopped(HANDLE event, DWORD boundMs);
    // The real duration that a requested one takes now.
    static DWORD Scale(DWORD ms);
    // The real duration of a bound that only keeps a peer that never answers (a
    // modem's completion) from hanging its caller: scaled like every wait, but
    // never below 2 s of real time (nor above the bound itself), so that a fast
    // clock keeps tests quick without turning a slow answer on a busy machine
    // into a failure. INFINITE stays INFINITE.
    static DWORD ScaleBound(DWORD ms);
    // GetTickCount64 on the clock's scale (real milliseconds times the divisor), so
    // that time-outs measured with it pass as fast as the scaled sleeps.
    static ULONGLONG TickCount64();

    static void SetDivisor(DWORD divisor);
    static DWORD GetDivisor();
    static void SetObserver(Observer observer);
    // Reads "ClockDivisor" from HKLM\SYSTEM\CurrentControlSet\Services\TARVOSVC\Debug; absent means 1.
    static void LoadDivisorFromRegistry();
};
