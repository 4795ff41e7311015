#include "MbnSubject.h"

#include "MbnObserver.h"

#include <algorithm>

MbnSubject::~MbnSubject() = default;

void MbnSubject::Attach(MbnObserver* observer) {
    std::lock_guard<std::mutex> guard(m_csObservers);
    if (std::find(m_observers.begin(), m_observers.end(), observer) == m_observers.end())
        m_observers.push_back(observer);
}

void MbnSubject::Detach(MbnObserver* observer) {
    std::lock_guard<std::mutex> guard(m_csObservers);
    auto it = std::find(m_observers.begin(), m_observers.end(), observer);
    if (it != m_observers.end()) m_observers.erase(it);
}

void MbnSubject::Notify(const MbnEvent& event) {
    std::vector<MbnObserver*> observers;
    {
        std::lock_guard<std::mutex> guard(m_csObservers);
        observers = m_observers;
    }
    for (MbnObserver* observer : observers) observer->Update(this, event);
}

size_t MbnSubject::ObserverCount() const {
    std::lock_guard<std::mutex> guard(m_csObservers);
    return m_observers.size();
}
