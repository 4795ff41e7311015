#include "CThread.h"

#include <atomic>

namespace {
// Threads started and not yet past their last use of anything but the stack.
std::atomic<long> s_runningThreads{0};
}  // namespace

CThread::CThread()
    : m_hThread(nullptr),
      m_dwThreadId(0),
      m_pParam(nullptr),
      m_dwExitCode(0),
      m_pfnThreadProc(&CThread::ThreadProc),
      m_bStopRequested(0) {
    m_hStopEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    m_hPauseEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    m_hResumeEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

CThread::~CThread() {
    // On the object's own thread (a watcher deleting itself) there is nothing to wait for.
    if (m_hThread) Stop(::GetCurrentThreadId() != m_dwThreadId);
    if (m_hPauseEvent) ::CloseHandle(m_hPauseEvent);
    if (m_hResumeEvent) ::CloseHandle(m_hResumeEvent);
    if (m_hStopEvent) ::CloseHandle(m_hStopEvent);
    // The thread handle is ours too; nothing reads it after this point.
    if (m_hThread) ::CloseHandle(m_hThread);
}

DWORD CThread::Start(void* param) {
    m_pParam = param;
    ++s_runningThreads;
    m_hThread = ::CreateThread(nullptr, 0, m_pfnThreadProc, this, 0, &m_dwThreadId);
    m_dwExitCode = 0xFFFFFFFF;
    if (m_hThread) return 0;
    const DWORD error = ::GetLastError();
    --s_runningThreads;
    return error;
}

DWORD CThread::Stop(bool wait) {
    m_bStopRequested = 1;
    if (m_hStopEvent) ::SetEvent(m_hStopEvent);
    if (m_hThread) {
        ::GetExitCodeThread(m_hThread, &m_dwExitCode);
        if (m_dwExitCode == STILL_ACTIVE && wait) ::WaitForSingleObject(m_hThread, 300);
    }
    return m_dwExitCode;
}

void CThread::Pause() { ::SetEvent(m_hPauseEvent); }

void CThread::Resume() { ::SetEvent(m_hResumeEvent); }

void* CThread::GetParam(const CThread* thread) { return thread ? thread->m_pParam : nullptr; }

bool CThread::WaitForAllThreadsToEnd(DWORD ms) {
    const ULONGLONG deadline = ::GetTickCount64() + ms;
    while (s_runningThreads.load() > 0) {
        if (::GetTickCount64() >= deadline) return false;
        ::Sleep(10);
    }
    return true;
}

DWORD WINAPI CThread::ThreadProc(void* object) {
    CThread* thread = static_cast<CThread*>(object);
    thread->OnThreadStart();
    thread->Run(thread->m_pParam);
    thread->OnThreadExit();
    --s_runningThreads;
    // Always STILL_ACTIVE, so GetExitCodeThread reads 259 before and after the end.
    return STILL_ACTIVE;
}

DWORD CThread::Run(void* param) { return m_dwExitCode; }

void CThread::OnThreadStart() {}

void CThread::OnThreadExit() {}
