// Owners of Win32 handles: each closes its handle in its destructor, on every path.
#pragma once

#include <windows.h>
#include <winsvc.h>
#include <oleauto.h>
#include <utility>

// A kernel handle (event, mutex, file, thread). Both NULL and INVALID_HANDLE_VALUE count as empty.
class CUniqueHandle {
public:
    CUniqueHandle() = default;
    explicit CUniqueHandle(HANDLE h) : m_h(h) {}
    ~CUniqueHandle() { Reset(); }
    CUniqueHandle(CUniqueHandle&& o) noexcept : m_h(o.Release()) {}
    CUniqueHandle& operator=(CUniqueHandle&& o) noexcept { Reset(o.Release()); return *this; }
    CUniqueHandle(const CUniqueHandle&) = delete;
    CUniqueHandle& operator=(const CUniqueHandle&) = delete;

    HANDLE Get() const { return m_h; }
    bool IsValid() const { return m_h != nullptr && m_h != INVALID_HANDLE_VALUE; }
    explicit operator bool() const { return IsValid(); }
    HANDLE Release() { HANDLE h = m_h; m_h = nullptr; return h; }
    // Closes the handle; true when there was one and CloseHandle succeeded.
    bool Reset(HANDLE h = nullptr) {
        bool closed = false;
        if (IsValid()) closed = ::CloseHandle(m_h) != FALSE;
        m_h = h;
        return closed;
    }

private:
    HANDLE m_h = nullptr;
};

// Memory that a system call allocates for its caller with LocalAlloc: security
// descriptors and SIDs, their texts, FormatMessage's buffer.
class CUniqueLocal {
public:
    CUniqueLocal() = default;
    explicit CUniqueLocal(HLOCAL p) : m_p(p) {}
    ~CUniqueLocal() { Reset(); }
    CUniqueLocal(CUniqueLocal&& o) noexcept : m_p(std::exchange(o.m_p, nullptr)) {}
    CUniqueLocal& operator=(CUniqueLocal&& o) noexcept { Reset(std::exchange(o.m_p, nullptr)); return *this; }
    CUniqueLocal(const CUniqueLocal&) = delete;
    CUniqueLocal& operator=(const CUniqueLocal&) = delete;

    template <typename T = void>
    T* Get() const { return static_cast<T*>(m_p); }
    // The out-parameter of the allocating call, typed as that call wants it.
    template <typename T = void>
    T** Put() { Reset(); return reinterpret_cast<T**>(&m_p); }
    explicit operator bool() const { return m_p != nullptr; }
    void Reset(HLOCAL p = nullptr) {
        if (m_p) ::LocalFree(m_p);
        m_p = p;
    }

private:
    HLOCAL m_p = nullptr;
};

class CUniqueHKey {
public:
    CUniqueHKey() = default;
    explicit CUniqueHKey(HKEY h) : m_h(h) {}
    ~CUniqueHKey() { Reset(); }
    CUniqueHKey(CUniqueHKey&& o) noexcept : m_h(std::exchange(o.m_h, nullptr)) {}
    CUniqueHKey& operator=(CUniqueHKey&& o) noexcept { Reset(std::exchange(o.m_h, nullptr)); return *this; }
    CUniqueHKey(const CUniqueHKey&) = delete;
    CUniqueHKey& operator=(const CUniqueHKey&) = delete;

    HKEY Get() const { return m_h; }
    HKEY* Put() { Reset(); return &m_h; }
    explicit operator bool() const { return m_h != nullptr; }
    void Reset(HKEY h = nullptr) {
        if (m_h) ::RegCloseKey(m_h);
        m_h = h;
    }

private:
    HKEY m_h = nullptr;
};

class CUniqueScHandle {
public:
    CUniqueScHandle() = default;
    explicit CUniqueScHandle(SC_HANDLE h) : m_h(h) {}
    ~CUniqueScHandle() { Reset(); }
    CUniqueScHandle(CUniqueScHandle&& o) noexcept : m_h(std::exchange(o.m_h, nullptr)) {}
    CUniqueScHandle& operator=(CUniqueScHandle&& o) noexcept { Reset(std::exchange(o.m_h, nullptr)); return *this; }
    CUniqueScHandle(const CUniqueScHandle&) = delete;
    CUniqueScHandle& operator=(const CUniqueScHandle&) = delete;

    SC_HANDLE Get() const { return m_h; }
    explicit operator bool() const { return m_h != nullptr; }
    void Reset(SC_HANDLE h = nullptr) {
        if (m_h) ::CloseServiceHandle(m_h);
        m_h = h;
    }

private:
    SC_HANDLE m_h = nullptr;
};

class CUniqueBstr {
public:
    CUniqueBstr() = default;
    explicit CUniqueBstr(const wchar_t* text) : m_b(text ? ::SysAllocString(text) : nullptr) {}
    ~CUniqueBstr() { Reset(); }
    CUniqueBstr(const CUniqueBstr&) = delete;
    CUniqueBstr& operator=(const CUniqueBstr&) = delete;

    BSTR Get() const { return m_b; }
    BSTR* Put() { Reset(); return &m_b; }
    explicit operator bool() const { return m_b != nullptr; }
    void Reset() {
        if (m_b) ::SysFreeString(m_b);
        m_b = nullptr;
    }

private:
    BSTR m_b = nullptr;
};

class CUniqueSafeArray {
public:
    CUniqueSafeArray() = default;
    explicit CUniqueSafeArray(SAFEARRAY* p) : m_p(p) {}
    ~CUniqueSafeArray() { Reset(); }
    CUniqueSafeArray(const CUniqueSafeArray&) = delete;
    CUniqueSafeArray& operator=(const CUniqueSafeArray&) = delete;

    SAFEARRAY* Get() const { return m_p; }
    SAFEARRAY** Put() { Reset(); return &m_p; }
    explicit operator bool() const { return m_p != nullptr; }
    void Reset(SAFEARRAY* p = nullptr) {
        if (m_p) ::SafeArrayDestroy(m_p);
        m_p = p;
    }

private:
    SAFEARRAY* m_p = nullptr;
};

// COM on the calling thread for a scope, in the multithreaded apartment:
// CoUninitialize at its end only when CoInitializeEx succeeded, so each
// initialisation is undone once, on its own thread. RPC_E_CHANGED_MODE (the
// thread is in a single-threaded apartment already) still lets COM be used.
class CComScope {
public:
    CComScope() : m_hr(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~CComScope() {
        if (SUCCEEDED(m_hr)) ::CoUninitialize();
    }
    CComScope(const CComScope&) = delete;
    CComScope& operator=(const CComScope&) = delete;

    bool Usable() const { return SUCCEEDED(m_hr) || m_hr == RPC_E_CHANGED_MODE; }

private:
    HRESULT m_hr;
};

// The process's multithreaded apartment kept while held, whichever threads
// come and go: objects of it that are kept between calls (connection points,
// sinks) stay connected after the thread that made them uninitialised COM.
class CMtaUsage {
public:
    CMtaUsage() = default;
    ~CMtaUsage() { Reset(); }
    CMtaUsage(const CMtaUsage&) = delete;
    CMtaUsage& operator=(const CMtaUsage&) = delete;

    // Once; later calls while held do nothing.
    void Hold() {
        if (!m_cookie) ::CoIncrementMTAUsage(&m_cookie);
    }
    void Reset() {
        if (m_cookie) ::CoDecrementMTAUsage(m_cookie);
        m_cookie = nullptr;
    }

private:
    CO_MTA_USAGE_COOKIE m_cookie = nullptr;
};

// A named mutex created, or opened when an ACL of another session refuses its
// creation (the name is shared between processes); null when neither works.
// existed, when given, says whether the name was there before.
inline HANDLE CreateOrOpenNamedMutex(const char* name, bool* existed = nullptr) {
    HANDLE mutex = ::CreateMutexExA(nullptr, name, 0, MUTEX_ALL_ACCESS);
    bool there = mutex != nullptr && ::GetLastError() == ERROR_ALREADY_EXISTS;
    if (mutex == nullptr && ::GetLastError() == ERROR_ACCESS_DENIED) {
        mutex = ::OpenMutexA(MUTEX_ALL_ACCESS, TRUE, name);
        there = true;
    }
    if (existed) *existed = there;
    return mutex;
}
