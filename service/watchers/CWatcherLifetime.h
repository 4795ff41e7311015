// Lifetime and thread handling shared by the two watchers, whose threads may
// outlive their owner's interest in them.
//
// References: the owner's (from construction until SetAutoDelete), the running
// thread's (from Start until OnThreadExit) and any reader's in between. The
// last one to go deletes the watcher, so it is never freed while its thread or
// a reader still uses it.
#pragma once

#include <windows.h>
#include <atomic>

template <typename TWatcher>
class CWatcherLifetime {
public:
    void AddReference() { m_lReferences.fetch_add(1); }
    void ReleaseReference() {
        if (m_lReferences.fetch_sub(1) == 1) delete static_cast<TWatcher*>(this);
    }
    // The owner hands the watcher over to its thread: it is deleted when the
    // thread ends, or now when it has ended already. Once only.
    void SetAutoDelete() {
        if (m_bAutoDelete.exchange(true)) return;
        ReleaseReference();
    }
    bool IsAutoDelete() const { return m_bAutoDelete.load(); }

    // True once the thread has ended, or when there never was one.
    bool IsThreadFinished() const {
        HANDLE thread = Self()->GetThreadHandle();
        return thread == nullptr || ::WaitForSingleObject(thread, 0) == WAIT_OBJECT_0;
    }

protected:
    CWatcherLifetime() = default;
    ~CWatcherLifetime() = default;

    // CThread::Start with the thread's own reference; 0 when the thread runs.
    DWORD StartThread() {
        AddReference();
        DWORD result = Self()->CThread::Start(nullptr);
        if (result != 0) ReleaseReference();
        return result;
    }

    // Run by the thread after Run: drops the thread's reference.
    void ThreadExited() { ReleaseReference(); }

    // The watchers' Stop and StopWait: when running, signal the thread (and
    // with wait, give it up to 300 ms), then not running. The observer list stays.
    void StopThread(bool wait) {
        if (!Self()->IsRunning()) return;
        Self()->CThread::Stop(wait);
        Self()->SetRunning(false);
    }
    // Pause and Resume reach the thread only while it runs.
    void PauseThread() {
        if (Self()->IsRunning()) Self()->CThread::Pause();
    }
    void ResumeThread() {
        if (Self()->IsRunning()) Self()->CThread::Resume();
    }

    // A watcher deleted by its owner while its thread still runs waits for the
    // thread: the thread uses the object until its very end.
    void WaitForThreadEnd() {
        HANDLE thread = Self()->GetThreadHandle();
        if (thread && ::GetCurrentThreadId() != Self()->GetThreadId()) {
            Self()->CThread::Stop(false);
            ::WaitForSingleObject(thread, INFINITE);
        }
    }

private:
    TWatcher* Self() { return static_cast<TWatcher*>(this); }
    const TWatcher* Self() const { return static_cast<const TWatcher*>(this); }

    std::atomic<bool> m_bAutoDelete{false};
    std::atomic<long> m_lReferences{1};
};
