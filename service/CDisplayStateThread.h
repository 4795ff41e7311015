// Display on and off and the resume from suspend for the service's control
// handler, carried out on a thread of their own: the handler returns at once
// whatever the modem or the power-management driver does, and the Service
// Control Manager can deliver the next control (a stop included). What is
// handed over is carried out one after another, in the order it came.
#pragma once

#include "CThread.h"

#include <windows.h>
#include <deque>
#include <functional>
#include <mutex>

class CDisplayStateThread : public CThread {
public:
    enum class Event { DisplayOff, DisplayOn, Resume };
    using Handler = std::function<void(Event event)>;

    explicit CDisplayStateThread(Handler handler);
    ~CDisplayStateThread();

    // Hands an event over; the thread starts with the first one. After Shutdown
    // nothing is taken (false).
    bool Post(Event event);
    // No event is taken or carried out from now on but the one under way.
    void Shutdown();
    // True once the thread has ended, or when it never started.
    bool WaitForEnd(DWORD ms);

    DWORD Run(void* param) override;

private:
    Handler m_handler;
    std::mutex m_lock;
    HANDLE m_hPosted;              // auto-reset: set when an event is added to m_pending
    std::deque<Event> m_pending;   // oldest first
    bool m_bStarted;
    bool m_bShutdown;
};
