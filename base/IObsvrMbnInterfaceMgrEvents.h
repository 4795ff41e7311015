#pragma once

#include "Mbn.h"

class IObsvrMbnInterfaceMgrEvents {
public:
    virtual ~IObsvrMbnInterfaceMgrEvents() = default;
    virtual HRESULT OnInterfaceArrival(IMbnInterface* newInterface) = 0;
    virtual HRESULT OnInterfaceRemoval(IMbnInterface* oldInterface) = 0;
};
