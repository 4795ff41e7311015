#pragma once

#include "CTarvoDeviceFactory.h"

class CTarvoFerroDeviceFactory : public CTarvoDeviceFactory {
public:
    explicit CTarvoFerroDeviceFactory(const std::string& biosId);
    std::string GetBIOSID() override;
    CWWANDevice* CreateWWANDevice() override;
    int IsSupportedMBNDevice(const char* hardwareId, const char* prefix);

private:
    std::string m_strBIOSID;
};
