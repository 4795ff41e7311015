// Receives the events of the sinks it is attached to.
#pragma once

class MbnSubject;
struct MbnEvent;

class MbnObserver {
public:
    // Runs on the callback thread of the event; the result is a success flag.
    virtual bool Update(MbnSubject* subject, const MbnEvent& event) = 0;

protected:
    ~MbnObserver() = default;
};
