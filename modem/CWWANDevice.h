// The modem object: what the policy engine drives. The vendor classes fill in
// the pure operations; the slot order is part of the interface.
#pragma once

#include <windows.h>
#include <cstdint>
#include <string>

class CWWANDevice {
public:
    CWWANDevice();
    virtual ~CWWANDevice();
    CWWANDevice(const CWWANDevice&) = delete;
    CWWANDevice& operator=(const CWWANDevice&) = delete;

    virtual int Initialize() = 0;
    virtual int GetHardwareRadioState();
    virtual std::string GetCountryCode();
    virtual int IsReady() = 0;
    // 0 off, 1 on; any other value sends nothing and fails. 0 is success.
    virtual int RunTarvoHandler(uint8_t state) = 0;
    virtual int Reserved6(uint32_t value) = 0;
    virtual int Reserved7() = 0;
    virtual int Reserved8() = 0;
    virtual int Reserved9() = 0;
    virtual std::wstring GetModelName() = 0;

    // DWORD under HKLM "SYSTEM\CurrentControlSet\Services\TARVOSVC\Parameters\Tarvo"; 0xFFFFFFFF when missing.
    DWORD ReadTarvoRegistryValue(const std::string& valueName);

    // The Mobile Broadband interface id the base's two queries use; empty until set.
    void SetInterfaceId(const wchar_t* interfaceId);

protected:
    // The RunTarvoHandler contract of every vendor: under m_csTarvo, "Tarvo on"/"Tarvo Off",
    // MBSar::EnableTarvo with the vendor's row, then "CurrentStatus" source 1 on success.
    struct TarvoArgs {
        int backoffOn;
        int antennaIndex;
        int backoffIndex;
    };
    int RunTarvoCommand(const char* functionName, uint8_t state, const TarvoArgs& on, const TarvoArgs& off);

    wchar_t m_szInterfaceId[40];
    CRITICAL_SECTION m_csTarvo;
};
