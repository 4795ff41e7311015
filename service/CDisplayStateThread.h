// Display on and off for the service's control handler, carried out on a thread
// of their own: the handler returns at once whatever the modem does, and the
// Service Control Manager can deliver the next control (a stop included). A
// display state handed over while another is carried out follows it; of
// several handed over meanwhile, the latest wins.
#pragma once

#include "CThread.h"

#include <windows.h>
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
    HANDLE m_hPosted;  // auto-reset: set when m_nPending holds a state
    int m_nPending;    // -1 none, 0 off, 1 on
    bool m_bStarted;
    bool m_bShutdown;
};
