// The persisted Tarvo state "CurrentStatus" and small utilities.
#pragma once

#include <windows.h>
#include <cstdint>
#include <string>
#include <vector>

enum : int {
    TARVO_SOURCE_PSENSOR = 0,
    TARVO_SOURCE_MODEM = 1,
    TARVO_SOURCE_WLAN = 2,
    TARVO_SOURCE_THERMOVA = 3,
    TARVO_SOURCE_SPARE = 4,
};

class CHelpers {
public:
    // Sets or clears one source's bit (1 << 4*source) of "CurrentStatus", under the state lock.
    static void WriteTarvoState(bool on, int source);
    static DWORD ReadTarvoState();
    static void InitStateLock();
    static void DeleteStateLock();

    static std::string ToString(uint32_t value);
    static std::wstring ToWString(uint32_t value);
    static std::string ToStringInt(int value);
    static long StrToInt(const char* text);
    static long WStrToInt(const wchar_t* text);
    static std::vector<std::string> Split(const std::string& text, char delimiter);
    static std::vector<std::wstring> SplitW(const std::wstring& text, wchar_t delimiter);
    static int AlwaysTrue();
    static HMODULE LoadGobiApi();
    static BOOL ImpersonateActiveConsoleUser();
    static BOOL RevertImpersonation();
    static int IsNetworkInterfacePresent();
    static char* GetDeviceIdByNetCfgInstanceId(const char* netCfgInstanceId);
    static int IsDevicePresent(const char* deviceIdPrefix);
};
