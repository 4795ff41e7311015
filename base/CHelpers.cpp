#include "CHelpers.h"

#include "CRegistryKey.h"
#include "Handles.h"
#include "Logger.h"
#include "ServiceTrigger.h"

#include <cfgmgr32.h>
#include <setupapi.h>
#include <shlwapi.h>
#undef StrToInt  // shlwapi maps it to StrToIntA
#include <wtsapi32.h>

#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>

namespace {
const char kParametersKey[] = "SYSTEM\\CurrentControlSet\\Services\\TARVOSVC\\Parameters\\";
const REGSAM kWriteAccess = 0x20106;  // KEY_WRITE | KEY_WOW64_64KEY

// {4D36E972-E325-11CE-BFC1-08002BE10318}
const GUID kGuidDevClassNet = {0x4D36E972, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

// The state lock is usable from the first write to the end of the process:
// display events reach the modem, and with it "CurrentStatus", before the
// worker thread gets to InitStateLock, and watcher threads may still write
// after it has left its loop. Init and Delete mark the span that the worker
// owns; neither ever leaves writers without a lock.
CRITICAL_SECTION& StateLock() {
    static CRITICAL_SECTION lock;
    static std::once_flag once;
    std::call_once(once, [] { ::InitializeCriticalSection(&lock); });
    return lock;
}

class CStateLockGuard {
public:
    CStateLockGuard() { ::EnterCriticalSection(&StateLock()); }
    ~CStateLockGuard() { ::LeaveCriticalSection(&StateLock()); }
};
}  // namespace

void CHelpers::InitStateLock() { StateLock(); }

void CHelpers::DeleteStateLock() {}

void CHelpers::WriteTarvoState(bool on, int source) {
    CStateLockGuard guard;
    CUniqueHKey key;
    try {
        DWORD word = ReadTarvoState();
        if (::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kParametersKey, 0, nullptr, REG_OPTION_NON_VOLATILE, kWriteAccess,
                              nullptr, key.Put(), nullptr) != ERROR_SUCCESS) {
            LogWrite("CHelpers::WriteTarvoState", "RegCreateEx fail: ", 2);
            return;
        }
        if (source >= TARVO_SOURCE_PSENSOR && source <= TARVO_SOURCE_SPARE) {
            if (on)
                word |= 1u << (4 * source);
            else
                word &= ~(0xFu << (4 * source));
        }
        if (::RegSetValueExA(key.Get(), "CurrentStatus", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&word),
                             sizeof(word)) != ERROR_SUCCESS)
            LogWrite("CHelpers::WriteTarvoState", "Tarvo status registry write fail", 2);
    } catch (const std::exception& e) {
        LogWrite("CHelpers::WriteTarvoState", e.what(), 2);
    }
}

DWORD CHelpers::ReadTarvoState() {
    DWORD word = 0;
    CUniqueHKey key;
    try {
        if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kParametersKey, 0, KEY_READ, key.Put()) != ERROR_SUCCESS) return 0;
        DWORD size = sizeof(word);
        if (::RegGetValueA(key.Get(), nullptr, "CurrentStatus", RRF_RT_REG_DWORD, nullptr, &word, &size) !=
            ERROR_SUCCESS) {
            word = 0;
            LogWrite("CHelpers::ReadTarvoState", "Tarvo current state registry not found", 2);
        }
    } catch (const std::exception& e) {
        LogWrite("CHelpers::ReadTarvoState", e.what(), 2);
    }
    return word;
}

std::string CHelpers::ToString(uint32_t value) { return std::to_string(value); }

std::wstring CHelpers::ToWString(uint32_t value) { return std::to_wstring(value); }

std::string CHelpers::ToStringInt(int value) { return std::to_string(value); }

long CHelpers::StrToInt(const char* text) {
    if (!text) return -1;
    return std::strtol(text, nullptr, 10);
}

long CHelpers::WStrToInt(const wchar_t* text) {
    if (!text) return -1;
    return std::wcstol(text, nullptr, 10);
}

namespace {
// Tokens end at each delimiter; text after the last one is not a token.
template <typename String>
std::vector<String> SplitTokens(const String& text, typename String::value_type delimiter) {
    std::vector<String> tokens;
    String current;
    for (auto c : text) {
        if (c == delimiter) {
            tokens.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    return tokens;
}
}  // namespace

std::vector<std::string> CHelpers::Split(const std::string& text, char delimiter) {
    return SplitTokens(text, delimiter);
}

std::vector<std::wstring> CHelpers::SplitW(const std::wstring& text, wchar_t delimiter) {
    return SplitTokens(text, delimiter);
}

int CHelpers::AlwaysTrue() { return 1; }

HMODULE CHelpers::LoadGobiApi() {
    char path[MAX_PATH] = {};
    if (::GetModuleFileNameA(nullptr, path, MAX_PATH) == 0) return nullptr;
    ::PathRemoveFileSpecA(path);
    char full[MAX_PATH] = {};
    if (!::PathCombineA(full, path, "GobiApi.dll")) return nullptr;
    return ::LoadLibraryA(full);
}

BOOL CHelpers::ImpersonateActiveConsoleUser() {
    DWORD session = ::WTSGetActiveConsoleSessionId();
    HANDLE token = nullptr;
    if (!::WTSQueryUserToken(session, &token) || !token) return FALSE;
    BOOL result = ::ImpersonateLoggedOnUser(token);
    ::CloseHandle(token);
    return result;
}

BOOL CHelpers::RevertImpersonation() { return ::RevertToSelf(); }

int CHelpers::IsNetworkInterfacePresent() {
    HDEVINFO set = ::SetupDiGetClassDevsA(&TARVO_GUID_DEVINTERFACE_NET, nullptr, nullptr, 0x12);
    if (set == INVALID_HANDLE_VALUE) return 0;
    ::SetupDiDestroyDeviceInfoList(set);
    return 1;
}

namespace {
// The device instance id of devInst in a new buffer the caller frees, or null.
char* DeviceInstanceId(DEVINST devInst) {
    ULONG length = 0;
    if (::CM_Get_Device_ID_Size(&length, devInst, 0) != CR_SUCCESS) return nullptr;
    char* id = new char[length + 2]();
    if (::CM_Get_Device_IDA(devInst, id, length + 1, 0) != CR_SUCCESS) {
        delete[] id;
        return nullptr;
    }
    return id;
}
}  // namespace

char* CHelpers::GetDeviceIdByNetCfgInstanceId(const char* netCfgInstanceId) {
    if (!netCfgInstanceId) return nullptr;
    HDEVINFO set = ::SetupDiGetClassDevsA(&TARVO_GUID_DEVINTERFACE_NET, nullptr, nullptr, 0x12);
    if (set == INVALID_HANDLE_VALUE) return nullptr;
    char* result = nullptr;
    size_t idLength = std::strlen(netCfgInstanceId);
    for (DWORD index = 0;; ++index) {
        SP_DEVINFO_DATA info = {};
        info.cbSize = sizeof(info);
        if (!::SetupDiEnumDeviceInfo(set, index, &info)) break;
        if (!IsEqualGUID(info.ClassGuid, kGuidDevClassNet)) continue;
        char driver[MAX_PATH] = {};
        if (!::SetupDiGetDeviceRegistryPropertyA(set, &info, SPDRP_DRIVER, nullptr, reinterpret_cast<BYTE*>(driver),
                                                 sizeof(driver), nullptr))
            break;
        std::string path = std::string("System\\CurrentControlSet\\Control\\Class") + "\\" + driver;
        CRegistryKey key(HKEY_LOCAL_MACHINE, path.c_str());
        char* value = nullptr;
        if (key.KeyExists(KEY_READ)) value = key.ReadString("NetCfgInstanceId", KEY_READ);
        if (value && std::strncmp(value, netCfgInstanceId, idLength) == 0) {
            result = DeviceInstanceId(info.DevInst);
            delete[] value;
            break;
        }
        delete[] value;
    }
    ::SetupDiDestroyDeviceInfoList(set);
    return result;
}

int CHelpers::IsDevicePresent(const char* deviceIdPrefix) {
    if (!deviceIdPrefix) return 0;
    HDEVINFO set = ::SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) return 0;
    int found = 0;
    size_t length = std::strlen(deviceIdPrefix);
    for (DWORD index = 0; !found; ++index) {
        SP_DEVINFO_DATA info = {};
        info.cbSize = sizeof(info);
        if (!::SetupDiEnumDeviceInfo(set, index, &info)) break;
        char* id = DeviceInstanceId(info.DevInst);
        if (id && _strnicmp(id, deviceIdPrefix, length) == 0) found = 1;
        delete[] id;
    }
    ::SetupDiDestroyDeviceInfoList(set);
    return found;
}
