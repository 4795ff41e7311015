#include "CTarvoLumoDeviceFactory.h"

#include "CWWANDevice.h"
#include "CWWANFoxconn.h"
#include "CWWANNuvik.h"

namespace {
// In the order they are compared; each literal over its own length.
const CTarvoDeviceFactory::ModelRow kRows[] = {
    {L"Nuvik HX730R-GL", "Nuvik HX730 found", &CTarvoDeviceFactory::MakeDevice<CWWANNuvik>},
    {L"Qualcomm Snapdragon X55 5G", "Foxconn device found", &CTarvoDeviceFactory::MakeDevice<CWWANFoxconn>},
};
}  // namespace

CTarvoLumoDeviceFactory::CTarvoLumoDeviceFactory(const std::string& biosId) : m_strBIOSID(biosId) {}

std::string CTarvoLumoDeviceFactory::GetBIOSID() { return m_strBIOSID; }

CWWANDevice* CTarvoLumoDeviceFactory::CreateWWANDevice() {
    return CreateFromRows("CTarvoLumoDeviceFactory::CreateWWANDevice", kRows, sizeof(kRows) / sizeof(kRows[0]), true);
}

int CTarvoLumoDeviceFactory::IsSupportedMBNDevice(const char* hardwareId, const char* prefix) {
    return MatchHardwareId("CTarvoLumoDeviceFactory::IsSupportedMBNDevice",
                           "USB\\VID_0489&PID_E0B1&REV_0300&MI_00", hardwareId, prefix);
}
