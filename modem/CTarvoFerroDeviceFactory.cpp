#include "CTarvoFerroDeviceFactory.h"

#include "CWWANDevice.h"
#include "CWWANFibocom.h"
#include "CWWANFoxconn.h"

namespace {
// In the order they are compared; each literal over its own length.
const CTarvoDeviceFactory::ModelRow kRows[] = {
    {L"Fibocom L860-GL", "Fibocom L860 device found", &CTarvoDeviceFactory::MakeDevice<CWWANFibocom>},
    {L"Fibocom L850-GL", "Fibocom L850 device found", &CTarvoDeviceFactory::MakeDevice<CWWANFibocom>},
    {L"Qualcomm Snapdragon X55 5G", "Foxconn device found", &CTarvoDeviceFactory::MakeDevice<CWWANFoxconn>},
};
}  // namespace

CTarvoFerroDeviceFactory::CTarvoFerroDeviceFactory(const std::string& biosId) : m_strBIOSID(biosId) {}

std::string CTarvoFerroDeviceFactory::GetBIOSID() { return m_strBIOSID; }

CWWANDevice* CTarvoFerroDeviceFactory::CreateWWANDevice() {
    return CreateFromRows("CTarvoFerroDeviceFactory::CreateWWANDevice", kRows, sizeof(kRows) / sizeof(kRows[0]), false);
}

int CTarvoFerroDeviceFactory::IsSupportedMBNDevice(const char* hardwareId, const char* prefix) {
    return MatchHardwareId("CTarvoFerroDeviceFactory::IsSupportedMBNDevice",
                           "USB\\VID_8087&PID_0AC9", hardwareId, prefix);
}
