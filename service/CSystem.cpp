#include "CSystem.h"

#include "CDriverRequest.h"
#include "Handles.h"
#include "Logger.h"

#include <versionhelpers.h>

#include <cstring>
#include <exception>
#include <ios>

namespace {
const char kBiosKey[] = "HARDWARE\\DESCRIPTION\\System\\BIOS\\";

void ReadBiosValue(const char* name, std::string& field) {
    CUniqueHKey key;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kBiosKey, 0, KEY_READ, key.Put()) != ERROR_SUCCESS) return;
    char buffer[261] = {};
    DWORD size = 260;
    if (::RegQueryValueExA(key.Get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size) ==
        ERROR_SUCCESS)
        field = buffer;
}

void CutTo(std::string& field, size_t length) {
    if (field.size() > length) field.resize(length);
}
}  // namespace

CSystem::CSystem() = default;

CSystem::~CSystem() {
    try {
        // The field may have been written through GetBIOSIDBuffer: its length ends at the first zero.
        m_strBIOSVersion.resize(std::strlen(m_strBIOSVersion.c_str()));
    } catch (const std::ios_base::failure& e) {
        LogWrite("CSystem::~CSystem", e.what(), 2);
    } catch (const std::exception& e) {
        LogWrite("CSystem::~CSystem", e.what(), 2);
    }
}

void CSystem::GetBIOSID(std::string& biosId) {
    LogTraceEnter("CSystem::GetBIOSID");
    if (m_strBIOSVersion.empty()) ReadBIOSVersion();
    CutTo(m_strBIOSVersion, 5);
    biosId = m_strBIOSVersion;
    LogTraceExit("CSystem::GetBIOSID");
}

void CSystem::GetSystemModel(std::string& model) {
    LogTraceEnter("CSystem::GetSystemModel");
    if (m_strBaseBoardProduct.empty()) ReadBaseBoardProduct();
    CutTo(m_strBaseBoardProduct, 4);
    model = m_strBaseBoardProduct;
    LogTraceExit("CSystem::GetSystemModel");
}

char* CSystem::GetBIOSIDBuffer() {
    if (m_strBIOSVersion.empty()) ReadBIOSVersion();
    CutTo(m_strBIOSVersion, 4);
    return &m_strBIOSVersion[0];
}

bool CSystem::IsWindows7OrGreater() { return ::IsWindows7OrGreater(); }

HANDLE CSystem::OpenDriverDevice(const char* device) {
    return ::CreateFileA(device, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
}

BOOL CSystem::DriverIoControl(HANDLE device, DWORD code, DWORD input, DWORD& output) {
    return CDriverRequest::Send(device, code, input, output);
}

bool CSystem::DriverRequest(const char* device, DWORD code, DWORD input, DWORD& output) {
    output = 0;
    CUniqueHandle handle(OpenDriverDevice(device));
    if (!handle) return false;
    return DriverIoControl(handle.Get(), code, input, output) != FALSE;
}

int CSystem::HasPSensor() {
    DWORD output = 0;
    if (!DriverRequest(TARVO_PM_DEVICE_SENSORS, TARVO_IOCTL_PSENSOR, 0, output)) return 0;
    return (output & 0x1) ? 1 : 0;
}

int CSystem::HasThermova() {
    DWORD output = 0;
    if (!DriverRequest(TARVO_PM_DEVICE_SENSORS, TARVO_IOCTL_THERMOVA, 3, output)) return 0;
    return (output & 0x20000) ? 1 : 0;
}

void CSystem::ReadBIOSVersion() { ReadBiosValue("BIOSVersion", m_strBIOSVersion); }

void CSystem::ReadBaseBoardProduct() { ReadBiosValue("BaseBoardProduct", m_strBaseBoardProduct); }
