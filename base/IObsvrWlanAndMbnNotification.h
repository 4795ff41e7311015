#pragma once

// A Mobile Broadband interface arrived, or a software radio switch left the radio on.
class IObsvrWlanAndMbnNotification {
public:
    virtual ~IObsvrWlanAndMbnNotification() = default;
    virtual void NotifyChange() = 0;
};
