#include "CTarvoFerroDeviceFactory.h"

#include "CWWANDevice.h"

namespace {
// The vendor rows join as the vendor classes are built.
const CTarvoDeviceFactory::ModelRow* Rows(size_t& count) {
    count = 0;
    return nullptr;
}
}  // namespace

CTarvoFerroDeviceFactory::CTarvoFerroDeviceFactory(const std::string& biosId) : m_strBIOSID(biosId) {}

std::string CTarvoFerroDeviceFactory::GetBIOSID() { return m_strBIOSID; }

CWWANDevice* CTarvoFerroDeviceFactory::CreateWWANDevice() {
    size_t count = 0;
    const ModelRow* rows = Rows(count);
    return CreateFromRows("CTarvoFerroDeviceFactory::CreateWWANDevice", rows, count, false);
}

int CTarvoFerroDeviceFactory::IsSupportedMBNDevice(const char* hardwareId, const char* prefix) {
    return MatchHardwareId("CTarvoFerroDeviceFactory::IsSupportedMBNDevice",
                           "USB\\VID_8087&PID_0AC9", hardwareId, prefix);
}
