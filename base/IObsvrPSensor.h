#pragma once

// NotifyState codes.
enum : int {
    TARVO_NOTIFY_CLEAR = 0,      // no back-off demand from this source
    TARVO_NOTIFY_PROXIMITY = 1,  // back-off demanded
    TARVO_NOTIFY_RECHECK = 2,    // the receiver reads the P-sensor itself
};

class IObsvrPSensor {
public:
    virtual ~IObsvrPSensor() = default;
    virtual void NotifyState(int state) = 0;
};
