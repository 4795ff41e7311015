#include "CCompletionWake.h"

CCompletionWake::Ticket CCompletionWake::Arm() const {
    std::lock_guard<std::mutex> guard(m_csWake);
    return m_qwSignals;
}

void CCompletionWake::Signal(uint32_t times) {
    if (times == 0) return;
    {
        std::lock_guard<std::mutex> guard(m_csWake);
        m_qwSignals += times;
    }
    m_cvWake.notify_all();
}

bool CCompletionWake::WaitSince(Ticket ticket, std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock<std::mutex> guard(m_csWake);
    return m_cvWake.wait_until(guard, deadline, [&] { return m_qwSignals != ticket; });
}

uint64_t CCompletionWake::SignalCount() const {
    std::lock_guard<std::mutex> guard(m_csWake);
    return m_qwSignals;
}

void CCompletionWake::Disturb() { m_cvWake.notify_all(); }
