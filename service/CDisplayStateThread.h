// Display on and off for the service's control handler, carried out on a thread
// of their own: the handler returns at once whatever the modem does, and the
// Service Control Manager can deliver the next control (a stop included). The
// states handed over are carried out one after another, in the order they came.
#pragma once

#include "CThread.h"

#include <windows.h>
#include <deque>
#include <functional>
#include <mutex>

class CDisplayStateThread : public CThread {
public:
    using Handler = std::function<void(bool on)>;

    explicit CDisplayStateThread(Handler handler);
    ~CDisplayStateThread();

    // Hands a display state over; the thread starts with the first one. After
    // Shutdown nothing is taken (false).
    bool Post(bool on);
    // No state is taken or carried out from now on but the one under way.
    void Shutdown();
    // True once the thread has ended, or when it never started.
    bool WaitForEnd(DWORD ms);

    DWORD Run(void* param) override;

private:
    Handler m_handler;
    std::mutex m_lock;
    HANDLE m_hPosted;             // auto-reset: set when a state is added to m_pending
    std::deque<bool> m_pending;   // true on, false off; oldest first
    bool m_bStarted;
    bool m_bShutdown;
};
