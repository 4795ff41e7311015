#include "CDecisionRetry.h"

#include "CClock.h"
#include "Logger.h"

#include <exception>
#include <string>

namespace {
const DWORD kFirstDelayMs = 1000;
const DWORD kLongestDelayMs = 60000;
}  // namespace

DWORD CDecisionRetry::DelayBeforeTry(int tryNumber) {
    DWORD delay = kFirstDelayMs;
    for (int n = 1; n < tryNumber && delay < kLongestDelayMs; ++n) delay *= 2;
    return delay < kLongestDelayMs ? delay : kLongestDelayMs;
}

CDecisionRetry::CDecisionRetry(Handler handler)
    : m_handler(std::move(handler)), m_bPending(false), m_ullDueTick(0), m_nTries(0) {}

CDecisionRetry::~CDecisionRetry() {
    Shutdown();
    WaitForEnd(INFINITE);
}

void CDecisionRetry::Schedule(bool afterTry) {
    const char* fn = "CDecisionRetry::Schedule";
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_bShutdown) return;
    if (!afterTry) m_nTries = 0;
    if (m_nTries >= kMaxTries) {
        m_bPending = false;
        LogWrite(fn,
                 "Back-off not taken by the modem after " + std::to_string(kMaxTries) +
                     " tries, waiting for the next change",
                 2);
        return;
    }
    ++m_nTries;
    const DWORD delay = DelayBeforeTry(m_nTries);
    m_bPending = true;
    m_ullDueTick = CClock::TickCount64() + delay;
    LogWrite(fn,
             "Back-off not taken by the modem, deciding again in " + std::to_string(delay) + " ms (try " +
                 std::to_string(m_nTries) + " of " + std::to_string(kMaxTries) + ")",
             1);
    if (!RunningLocked()) {
        // Without a thread no try would come: the next input decides.
        m_bPending = false;
        LogWrite(fn, "No thread to decide again, waiting for the next change", 2);
        return;
    }
    ::SetEvent(m_hWork);
}

void CDecisionRetry::Cancel() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_bPending = false;
    m_nTries = 0;
}

bool CDecisionRetry::TakeDue() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_bPending || m_bShutdown || CClock::TickCount64() < m_ullDueTick) return false;
    m_bPending = false;
    return true;
}

bool CDecisionRetry::IsPending() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_bPending;
}

void CDecisionRetry::DropPendingLocked() { m_bPending = false; }

DWORD CDecisionRetry::Run(void* param) {
    const HANDLE handles[2] = {m_hStopEvent, m_hWork};
    for (;;) {
        // How long until the pending try is due: INFINITE when none is, 0 when it is.
        DWORD wait = INFINITE;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_bPending) {
                const ULONGLONG now = CClock::TickCount64();
                wait = m_ullDueTick > now ? static_cast<DWORD>(m_ullDueTick - now) : 0;
            }
        }
        if (wait != 0) {
            // A new schedule or the end of the pause: look again at what is due.
            const DWORD served = CClock::WaitMultiple(2, handles, FALSE, wait);
            if (served != WAIT_TIMEOUT && served != WAIT_OBJECT_0 + 1) return 0;
            continue;
        }
        if (::WaitForSingleObject(m_hStopEvent, 0) == WAIT_OBJECT_0) return 0;
        try {
            m_handler();
        } catch (const std::exception& e) {
            // That try ends there; the next input decides.
            LogWrite("CDecisionRetry::Run", e.what(), 2);
        }
        {
            // A try the handler did not take (the service stops, or it threw)
            // is not made again and again.
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_bPending && CClock::TickCount64() >= m_ullDueTick) m_bPending = false;
        }
    }
}
