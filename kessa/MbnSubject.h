// The observer list of a sink. Events arrive on the API's callback threads
// while Init and UnInit attach and detach: the list is guarded, and Notify
// calls the observers outside the guard.
#pragma once

#include <mutex>
#include <vector>

class MbnObserver;
struct MbnEvent;

class MbnSubject {
public:
    MbnSubject() = default;
    virtual ~MbnSubject();
    MbnSubject(const MbnSubject&) = delete;
    MbnSubject& operator=(const MbnSubject&) = delete;

    // Appends the observer unless it is in the list already.
    virtual void Attach(MbnObserver* observer);
    // Removes the first entry equal to the observer.
    virtual void Detach(MbnObserver* observer);
    // Calls every observer in list order, synchronously.
    virtual void Notify(const MbnEvent& event);

    size_t ObserverCount() const;

private:
    mutable std::mutex m_csObservers;
    std::vector<MbnObserver*> m_observers;
};
