// Base of every event source: its observers and a running flag.
#pragma once

#include <atomic>
#include <list>
#include <mutex>

template <typename T>
class CWatchService {
public:
    CWatchService() : m_bRunning(false) {}
    ~CWatchService() = default;

    virtual void Start() {
        if (!m_bRunning) m_bRunning = true;
    }
    virtual void StopWait(bool wait) { StopBase(); }
    virtual void Stop() { StopBase(); }

    bool IsRunning() const { return m_bRunning; }
    void SetRunning(bool running) { m_bRunning = running; }

    // Appended at the end, also when listed already; null is ignored.
    void Attach(T* observer) {
        if (!observer) return;
        std::lock_guard<std::recursive_mutex> lock(m_observersLock);
        m_observers.push_back(observer);
    }

    // The observers attached now.
    size_t ObserverCount() {
        std::lock_guard<std::recursive_mutex> lock(m_observersLock);
        return m_observers.size();
    }

    // Removes the first entry equal to the observer. Waits for a notification
    // in progress on another thread, so a detached observer is never called again.
    void Detach(T* observer) {
        std::lock_guard<std::recursive_mutex> lock(m_observersLock);
        for (auto it = m_observers.begin(); it != m_observers.end(); ++it) {
            if (*it == observer) {
                m_observers.erase(it);
                return;
            }
        }
    }

protected:
    // Calls fn on every observer in order of attachment, on this thread.
    template <typename Fn>
    void ForEachObserver(Fn fn) {
        std::lock_guard<std::recursive_mutex> lock(m_observersLock);
        std::list<T*> snapshot = m_observers;
        for (T* observer : snapshot) fn(observer);
    }

    void ClearObservers() {
        std::lock_guard<std::recursive_mutex> lock(m_observersLock);
        m_observers.clear();
    }

    void StopBase() {
        if (m_bRunning) {
            ClearObservers();
            m_bRunning = false;
        }
    }

    // Read by the thread that stops the service while the source's own thread may write it.
    std::atomic<bool> m_bRunning;
    std::list<T*> m_observers;

private:
    std::recursive_mutex m_observersLock;
};
