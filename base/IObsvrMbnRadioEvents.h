#pragma once

#include "Mbn.h"

class IObsvrMbnRadioEvents {
public:
    virtual ~IObsvrMbnRadioEvents() = default;
    virtual HRESULT OnSetSoftwareRadioStateComplete(IMbnRadio* radio, ULONG requestId, HRESULT status) = 0;
    // The hardware or software radio changed, whoever switched it.
    virtual HRESULT OnRadioStateChange(IMbnRadio* radio) = 0;
};
