#include "CCreationLock.h"

CCreationLock::CCreationLock(const char* name)
    : m_strName(name), m_hProcessLock(::CreateMutexA(nullptr, FALSE, nullptr)) {}

CCreationLock::CScope::CScope(CCreationLock& lock, DWORD boundMs)
    : m_lock(lock),
      // The holder waits for the named mutex no longer than its bound, then makes the object.
      m_dwProcessBoundMs(boundMs >= INFINITE / 2 ? INFINITE : boundMs * 2),
      m_processLock(CClock::WaitEnd::TimedOut) {
    if (!m_lock.m_hProcessLock) return;
    m_processLock = CClock::WaitUnlessStopped(m_lock.m_hProcessLock.Get(), m_dwProcessBoundMs);
    if (m_processLock == CClock::WaitEnd::Signalled) m_named.emplace(m_lock.m_strName.c_str(), boundMs);
}

CCreationLock::CScope::~CScope() {
    m_named.reset();
    if (m_processLock == CClock::WaitEnd::Signalled) ::ReleaseMutex(m_lock.m_hProcessLock.Get());
}

bool CCreationLock::CScope::MayCreate() const {
    return m_processLock == CClock::WaitEnd::Signalled && m_named &&
           m_named->GetOutcome() != CHeldNamedMutex::Outcome::Stopped;
}

std::string CCreationLock::CScope::Describe() const {
    const std::string& name = m_lock.m_strName;
    switch (m_processLock) {
    case CClock::WaitEnd::Stopped: return "Stop requested, the creation under " + name + " not waited for";
    case CClock::WaitEnd::TimedOut:
        if (!m_lock.m_hProcessLock) return "No lock for the creation under " + name;
        return "The creation under " + name + " in another thread not ended within " +
               std::to_string(m_dwProcessBoundMs) + " ms";
    case CClock::WaitEnd::Signalled: break;
    }
    if (m_named->IsHeld()) return "";
    if (!MayCreate()) return m_named->Describe();
    return m_named->Describe() + ", created without it";
}
