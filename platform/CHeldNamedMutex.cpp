#include "CHeldNamedMutex.h"

#include "CClock.h"
#include "CTrustedOwner.h"

#include <aclapi.h>

CHeldNamedMutex::CHeldNamedMutex(const char* name, DWORD boundMs) : m_strName(name), m_dwBoundMs(boundMs) {
    bool existed = false;
    m_hMutex.Reset(CreateOrOpenNamedMutex(name, &existed));
    if (!m_hMutex) {
        m_dwError = ::GetLastError();
        return;
    }
    if (existed) {
        // One that another program made is only waited on when a trusted account made it.
        CUniqueLocal descriptor;
        DWORD error = ::GetSecurityInfo(m_hMutex.Get(), SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, nullptr,
                                        nullptr, nullptr, nullptr, descriptor.Put());
        if (error != ERROR_SUCCESS || !MayWaitOn(descriptor.Get(), CTrustedOwner::ProcessUser())) {
            m_outcome = Outcome::ForeignOwner;
            m_dwError = error;
            m_strOwner = error == ERROR_SUCCESS ? CTrustedOwner::OwnerText(descriptor.Get()) : L"?";
            m_hMutex.Reset();
            return;
        }
    }
    // A mutex whose owner ended without giving it back is handed over all the same.
    switch (CClock::WaitUnlessStopped(m_hMutex.Get(), boundMs)) {
    case CClock::WaitEnd::Signalled: m_outcome = Outcome::Held; break;
    case CClock::WaitEnd::Stopped: m_outcome = Outcome::Stopped; break;
    case CClock::WaitEnd::TimedOut: m_outcome = Outcome::TimedOut; break;
    }
}

CHeldNamedMutex::~CHeldNamedMutex() {
    if (m_outcome == Outcome::Held) ::ReleaseMutex(m_hMutex.Get());
}

bool CHeldNamedMutex::MayWaitOn(PSECURITY_DESCRIPTOR existing, PSID processUser) {
    PSID owner = nullptr;
    return CTrustedOwner::ReadOwner(existing, owner) &&
           (owner == nullptr || CTrustedOwner::IsTrusted(owner, processUser));
}

std::string CHeldNamedMutex::Describe() const {
    switch (m_outcome) {
    case Outcome::Held: return "";
    case Outcome::Unobtainable:
        return m_strName + " can be neither created nor opened, error " + std::to_string(m_dwError);
    case Outcome::ForeignOwner: {
        std::string owner(m_strOwner.begin(), m_strOwner.end());  // SID text is ASCII
        return m_strName + " exists with the owner " + owner +
               (m_dwError ? " (error " + std::to_string(m_dwError) + ")" : std::string()) + ", not waited on";
    }
    case Outcome::TimedOut:
        return m_strName + " not given within " + std::to_string(m_dwBoundMs) + " ms";
    case Outcome::Stopped: return "Stop requested, " + m_strName + " not waited for";
    }
    return "";
}
