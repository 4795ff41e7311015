#include "CTarvoBrennCossaDeviceFactory.h"

#include "CWWANDevice.h"
#include "CWWANFoxconn.h"
#include "CWWANNuvik.h"

namespace {
// In the order they are compared; each literal over its own length.
const CTarvoDeviceFactory::ModelRow kRows[] = {
    {L"Generic Mobile Broadband Adapte", "Nuvik Device found", &CTarvoDeviceFactory::MakeDevice<CWWANNuvik>},
    {L"Qualcomm Snapdragon X55 5G", "Foxconn device found", &CTarvoDeviceFactory::MakeDevice<CWWANFoxconn>},
};
}  // namespace

CTarvoBrennCossaDeviceFactory::CTarvoBrennCossaDeviceFactory(const std::string& biosId) : m_strBIOSID(biosId) {}

std::string CTarvoBrennCossaDeviceFactory::GetBIOSID() { return m_strBIOSID; }

CWWANDevice* CTarvoBrennCossaDeviceFactory::CreateWWANDevice() {
    return CreateFromRows("CTarvoBrennCossaDeviceFactory::CreateWWANDevice", kRows, sizeof(kRows) / sizeof(kRows[0]), true);
}

int CTarvoBrennCossaDeviceFactory::IsSupportedMBNDevice(const char* hardwareId, const char* prefix) {
    return MatchHardwareId("CTarvoBrennCossaDeviceFactory::IsSupportedMBNDevice",
                           "USB\\VID_6D2A&PID_0600&REV_0300&MI_00", hardwareId, prefix);
}
