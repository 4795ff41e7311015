// Display on and off and the resume from suspend for the service's control
// handler, carried out on a thread of their own: the handler returns at once
// whatever the modem or the power-management driver does, and the Service
// Control Manager can deliver the next control (a stop included). What is
// handed over is carried out one after another, in the order it came.
#pragma once

#include "CServingThread.h"

#include <windows.h>
#include <deque>
#include <functional>

class CDisplayStateThread : public CServingThread {
public:
    enum class Event { DisplayOff, DisplayOn, Resume };
    using Handler = std::function<void(Event event)>;

    explicit CDisplayStateThread(Handler handler);
    ~CDisplayStateThread();

    // Hands an event over; the thread starts with the first one. After Shutdown
    // nothing is taken (false).
    bool Post(Event event);

    DWORD Run(void* param) override;

private:
    void DropPendingLocked() override;

    Handler m_handler;
    std::deque<Event> m_pending;  // oldest first; m_hWork is set when one is added
};
