// The creation of a process-wide object that other programs share a mutex
// name for (a library binding). A lock of the process serialises the creation
// in it, whatever the name holds; the named mutex is taken too when it can be
// (bounded, ended by the calling thread's stop), so that programs that share
// it still create one at a time. A name that someone else took first (an
// object of another type, one that refuses the service, one of another owner,
// one held past the bound) never keeps the object from being made.
#pragma once

#include "CClock.h"
#include "CHeldNamedMutex.h"
#include "Handles.h"

#include <windows.h>
#include <optional>
#include <string>

class CCreationLock {
public:
    // One per created object, kept for the life of the process.
    explicit CCreationLock(const char* name);
    CCreationLock(const CCreationLock&) = delete;
    CCreationLock& operator=(const CCreationLock&) = delete;

    // One creation: the process's lock, then the named mutex when it can be
    // had; both are given back on every way out of the scope.
    class CScope {
    public:
        // boundMs: the longest wait for the named mutex, on the clock's scale;
        // another thread's creation is waited for at most twice as long.
        explicit CScope(CCreationLock& lock, DWORD boundMs = CHeldNamedMutex::kCreationBoundMs);
        ~CScope();
        CScope(const CScope&) = delete;
        CScope& operator=(const CScope&) = delete;

        // Whether the object may be made now: the process's lock is held and
        // the calling thread's stop has not come first.
        bool MayCreate() const;
        // The caller's one line when the creation goes on without the named
        // mutex, or does not go on; empty when both are held.
        std::string Describe() const;

    private:
        CCreationLock& m_lock;
        DWORD m_dwProcessBoundMs;
        CClock::WaitEnd m_processLock;
        std::optional<CHeldNamedMutex> m_named;
    };

private:
    std::string m_strName;
    CUniqueHandle m_hProcessLock;  // an unnamed mutex: no other program reaches it
};
