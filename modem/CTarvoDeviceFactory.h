// The platform factory: turns the reported modem model into a modem object.
#pragma once

#include <windows.h>
#include <string>

class CWWANDevice;

class CTarvoDeviceFactory {
public:
    virtual ~CTarvoDeviceFactory() = default;
    virtual std::string GetBIOSID() = 0;
    // A new modem object the caller owns, or null.
    virtual CWWANDevice* CreateWWANDevice() = 0;

    HRESULT InitCom();
};
