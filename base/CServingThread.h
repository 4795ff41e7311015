// A thread of its own that serves what other threads hand it: it starts with
// the first piece of work, wakes on an auto-reset event, and once shut down
// takes nothing more. The derived class keeps what waits under m_lock, and its
// destructor shuts the thread down and waits for it before its own members go.
#pragma once

#include "CThread.h"

#include <windows.h>
#include <mutex>

class CServingThread : public CThread {
public:
    CServingThread();
    ~CServingThread();

    // Nothing is taken from now on but what is under way, and the thread is told to stop.
    void Shutdown();
    // True once the thread has ended, or when it never started.
    bool WaitForEnd(DWORD ms);

protected:
    // Under m_lock: the thread runs, started now when it did not yet; false
    // when it cannot (shut down, or no thread could be made).
    bool RunningLocked();
    // Under m_lock, at the shut-down: what waits is dropped.
    virtual void DropPendingLocked() = 0;

    std::mutex m_lock;
    HANDLE m_hWork;  // auto-reset: work came, or its schedule changed
    bool m_bShutdown;

private:
    bool m_bStarted;
};
