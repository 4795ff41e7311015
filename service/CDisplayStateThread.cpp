#include "CDisplayStateThread.h"

#include "Logger.h"

CDisplayStateThread::CDisplayStateThread(Handler handler)
    : m_handler(std::move(handler)),
      m_hPosted(::CreateEventA(nullptr, FALSE, FALSE, nullptr)),
      m_bStarted(false),
      m_bShutdown(false) {}

CDisplayStateThread::~CDisplayStateThread() {
    Shutdown();
    WaitForEnd(INFINITE);
    if (m_hPosted) ::CloseHandle(m_hPosted);
}

bool CDisplayStateThread::Post(bool on) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_bShutdown) return false;
        if (!m_bStarted && m_hPosted && Start(nullptr) == 0) m_bStarted = true;
        if (m_bStarted) {
            m_pending.push_back(on);
            ::SetEvent(m_hPosted);
            return true;
        }
    }
    // No thread to carry it: the change is not lost, the caller waits for it.
    LogWrite("CDisplayStateThread::Post", "Display thread not started, display state carried out in place", 2);
    m_handler(on);
    return true;
}

void CDisplayStateThread::Shutdown() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_bShutdown = true;
    m_pending.clear();
    Stop(false);
}

bool CDisplayStateThread::WaitForEnd(DWORD ms) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_bStarted) return true;
    }
    if (::GetCurrentThreadId() == GetThreadId()) return false;
    return ::WaitForSingleObject(GetThreadHandle(), ms) == WAIT_OBJECT_0;
}

DWORD CDisplayStateThread::Run(void* param) {
    const HANDLE handles[2] = {m_hStopEvent, m_hPosted};
    for (;;) {
        // The stop first: a state handed over together with it is not carried out.
        if (::WaitForMultipleObjects(2, handles, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) return 0;
        // Every state handed over until now, one at a time: one that comes while
        // another is carried out sets the event again and is taken here or at
        // the next turn.
        for (;;) {
            bool on = false;
            {
                std::lock_guard<std::mutex> guard(m_lock);
                if (m_pending.empty()) break;
                on = m_pending.front();
                m_pending.pop_front();
            }
            m_handler(on);
            if (::WaitForSingleObject(m_hStopEvent, 0) == WAIT_OBJECT_0) return 0;
        }
    }
}
