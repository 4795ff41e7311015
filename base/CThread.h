// Base of every object that owns a thread of its own. Stop, pause and resume
// are manual-reset events that the derived Run watches.
#pragma once

#include <windows.h>

class CThread {
public:
    CThread();
    ~CThread();
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    // 0 when the thread was created, else the GetLastError code.
    DWORD Start(void* param);
    // Sets the stop event; with wait, waits at most 300 ms for a running thread.
    DWORD Stop(bool wait);
    void Pause();
    void Resume();
    // The parameter of a thread object, or null for no object.
    static void* GetParam(const CThread* thread);
    // Waits at most ms (real) until no thread of any CThread runs any more;
    // true once none does. The process's end asks it before the runtime's
    // static objects go.
    static bool WaitForAllThreadsToEnd(DWORD ms);

    static DWORD WINAPI ThreadProc(void* object);
    HANDLE GetThreadHandle() const { return m_hThread; }
    DWORD GetThreadId() const { return m_dwThreadId; }
    bool IsStopRequested() const { return m_bStopRequested != 0; }

    virtual DWORD Run(void* param);
    virtual void OnThreadStart();
    virtual void OnThreadExit();

protected:
    HANDLE m_hThread;
    DWORD m_dwThreadId;
    void* m_pParam;
    DWORD m_dwExitCode;
    LPTHREAD_START_ROUTINE m_pfnThreadProc;
    volatile LONG m_bStopRequested;
    HANDLE m_hStopEvent;
    HANDLE m_hPauseEvent;
    HANDLE m_hResumeEvent;
};
