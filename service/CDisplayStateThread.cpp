#include "CDisplayStateThread.h"

#include "Logger.h"

#include <exception>

CDisplayStateThread::CDisplayStateThread(Handler handler) : m_handler(std::move(handler)) {}

CDisplayStateThread::~CDisplayStateThread() {
    Shutdown();
    WaitForEnd(INFINITE);
}

bool CDisplayStateThread::Post(Event event) {
    const char* fn = "CDisplayStateThread::Post";
    bool queueFull = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_bShutdown) return false;
        if (RunningLocked()) {
            try {
                m_pending.push_back(event);
                ::SetEvent(m_hWork);
                return true;
            } catch (const std::exception&) {
                // No memory to queue it: carried out here rather than lost.
                queueFull = true;
            }
        }
    }
    // No thread to carry it: the change is not lost, the caller waits for it.
    try {
        const bool resume = event == Event::Resume;
        if (queueFull)
            LogWrite(fn, resume ? "No memory to hand the resume over, carried out in place"
                                : "No memory to hand the display state over, carried out in place",
                     2);
        else
            LogWrite(fn, resume ? "Display thread not started, resume carried out in place"
                                : "Display thread not started, display state carried out in place",
                     2);
        m_handler(event);
    } catch (const std::exception& e) {
        // On the dispatcher's thread: what the state raises ends that state alone.
        LogWrite(fn, e.what(), 2);
    }
    return true;
}

void CDisplayStateThread::DropPendingLocked() { m_pending.clear(); }

DWORD CDisplayStateThread::Run(void* param) {
    const HANDLE handles[2] = {m_hStopEvent, m_hWork};
    for (;;) {
        // The stop first: an event handed over together with it is not carried out.
        if (::WaitForMultipleObjects(2, handles, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) return 0;
        // Every event handed over until now, one at a time: one that comes while
        // another is carried out sets the event again and is taken here or at
        // the next turn.
        for (;;) {
            Event event = Event::DisplayOff;
            {
                std::lock_guard<std::mutex> guard(m_lock);
                if (m_pending.empty()) break;
                event = m_pending.front();
                m_pending.pop_front();
            }
            try {
                m_handler(event);
            } catch (const std::exception& e) {
                // That event ends there; the thread goes on with the next.
                LogWrite("CDisplayStateThread::Run", e.what(), 2);
            }
            if (::WaitForSingleObject(m_hStopEvent, 0) == WAIT_OBJECT_0) return 0;
        }
    }
}
