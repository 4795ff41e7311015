#include "CTarvoLumoDeviceFactory.h"

#include "CWWANDevice.h"

namespace {
// The vendor rows join as the vendor classes are built.
const CTarvoDeviceFactory::ModelRow* Rows(size_t& count) {
    count = 0;
    return nullptr;
}
}  // namespace

CTarvoLumoDeviceFactory::CTarvoLumoDeviceFactory(const std::string& biosId) : m_strBIOSID(biosId) {}

std::string CTarvoLumoDeviceFactory::GetBIOSID() { return m_strBIOSID; }

CWWANDevice* CTarvoLumoDeviceFactory::CreateWWANDevice() {
    size_t count = 0;
    const ModelRow* rows = Rows(count);
    return CreateFromRows("CTarvoLumoDeviceFactory::CreateWWANDevice", rows, count, true);
}

int CTarvoLumoDeviceFactory::IsSupportedMBNDevice(const char* hardwareId, const char* prefix) {
    return MatchHardwareId("CTarvoLumoDeviceFactory::IsSupportedMBNDevice",
                           "USB\\VID_0489&PID_E0B1&REV_0300&MI_00", hardwareId, prefix);
}
