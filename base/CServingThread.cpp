#include "CServingThread.h"

CServingThread::CServingThread()
    : m_hWork(::CreateEventA(nullptr, FALSE, FALSE, nullptr)), m_bShutdown(false), m_bStarted(false) {}

CServingThread::~CServingThread() {
    if (m_hWork) ::CloseHandle(m_hWork);
}

bool CServingThread::RunningLocked() {
    if (m_bShutdown) return false;
    if (!m_bStarted && m_hWork && Start(nullptr) == 0) m_bStarted = true;
    return m_bStarted;
}

void CServingThread::Shutdown() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_bShutdown = true;
    DropPendingLocked();
    Stop(false);
}

bool CServingThread::WaitForEnd(DWORD ms) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_bStarted) return true;
    }
    if (::GetCurrentThreadId() == GetThreadId()) return false;
    return ::WaitForSingleObject(GetThreadHandle(), ms) == WAIT_OBJECT_0;
}
