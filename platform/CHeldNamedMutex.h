// A named mutex that guards a creation shared between processes (a library
// binding made once per machine session). Any program may create the name
// first and keep it, so the wait is bounded and ends at the calling thread's
// stop, and a mutex that exists already with an owner the service does not
// trust is not waited on at all. Held, it is given back and its handle closed
// on every way out, so that an exception on the way never leaves it abandoned.
#pragma once

#include "Handles.h"

#include <windows.h>
#include <string>

class CHeldNamedMutex {
public:
    enum class Outcome {
        Held,
        Unobtainable,  // neither created nor opened
        ForeignOwner,  // there already, owned by someone the service does not trust
        TimedOut,      // not given within the bound
        Stopped,       // the calling thread's stop came first
    };

    // A creation under it takes milliseconds: a holder that keeps it this long
    // is not waited for any longer, and the creation is tried again later.
    static constexpr DWORD kCreationBoundMs = 10000;

    // boundMs: the longest wait, on the clock's scale (CClock::WaitUnlessStopped).
    explicit CHeldNamedMutex(const char* name, DWORD boundMs = kCreationBoundMs);
    ~CHeldNamedMutex();
    CHeldNamedMutex(const CHeldNamedMutex&) = delete;
    CHeldNamedMutex& operator=(const CHeldNamedMutex&) = delete;

    bool IsHeld() const { return m_outcome == Outcome::Held; }
    Outcome GetOutcome() const { return m_outcome; }
    // Why it is not held, as the caller's log line says it; empty when held.
    std::string Describe() const;

    // Whether a mutex found already there, with this descriptor, may be waited
    // on: its owner is trusted. A descriptor without an owner comes only from a
    // system that keeps none for the object (Windows gives every object one):
    // there every program runs as the service's own account, and it is waited on.
    static bool MayWaitOn(PSECURITY_DESCRIPTOR existing, PSID processUser);

private:
    std::string m_strName;
    DWORD m_dwBoundMs;
    CUniqueHandle m_hMutex;
    Outcome m_outcome = Outcome::Unobtainable;
    DWORD m_dwError = 0;
    std::wstring m_strOwner;
};
