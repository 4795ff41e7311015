#include "CTarvoBrennCossaDeviceFactory.h"

#include "CWWANDevice.h"

namespace {
// The vendor rows join as the vendor classes are built.
const CTarvoDeviceFactory::ModelRow* Rows(size_t& count) {
    count = 0;
    return nullptr;
}
}  // namespace

CTarvoBrennCossaDeviceFactory::CTarvoBrennCossaDeviceFactory(const std::string& biosId) : m_strBIOSID(biosId) {}

std::string CTarvoBrennCossaDeviceFactory::GetBIOSID() { return m_strBIOSID; }

CWWANDevice* CTarvoBrennCossaDeviceFactory::CreateWWANDevice() {
    size_t count = 0;
    const ModelRow* rows = Rows(count);
    return CreateFromRows("CTarvoBrennCossaDeviceFactory::CreateWWANDevice", rows, count, true);
}

int CTarvoBrennCossaDeviceFactory::IsSupportedMBNDevice(const char* hardwareId, const char* prefix) {
    return MatchHardwareId("CTarvoBrennCossaDeviceFactory::IsSupportedMBNDevice",
                           "USB\\VID_6D2A&PID_0600&REV_0300&MI_00", hardwareId, prefix);
}
