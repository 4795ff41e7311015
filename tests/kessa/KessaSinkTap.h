// A class object for CLSID_MbnDeviceServicesManager registered in the test
// process ahead of the simulator's: it hands out the simulator's manager
// wrapped, and keeps the events sink that the library advises on it, so that a
// test can deliver device-service notifications of its own making (messages
// that the simulated modem never sends) on top of the simulator's.
#pragma once

#include "Mbn.h"

#include <wrl/client.h>

#include <mutex>
#include <string>
#include <vector>

class CSinkTap {
public:
    CSinkTap() = default;
    ~CSinkTap();
    CSinkTap(const CSinkTap&) = delete;
    CSinkTap& operator=(const CSinkTap&) = delete;

    // Registers the class object (the calling thread must be in the MTA).
    bool Install();
    void Revoke();

    // The library's sink, once it advised one.
    Microsoft::WRL::ComPtr<IMbnDeviceServicesEvents> Sink();
    // A diag service object of the simulator's for the interface: notifications name it.
    Microsoft::WRL::ComPtr<IMbnDeviceService> DiagService(const std::wstring& interfaceId);
    // One notification of the diag service with these bytes, as the API delivers it.
    bool Notify(const std::wstring& interfaceId, const std::vector<uint8_t>& bytes);

    // Used by the wrapped connection point.
    void KeepSink(IUnknown* sink);
    void DropSink();

private:
    Microsoft::WRL::ComPtr<IClassFactory> SimFactory();

    DWORD m_dwCookie = 0;
    std::mutex m_csSink;
    Microsoft::WRL::ComPtr<IMbnDeviceServicesEvents> m_pSink;
    Microsoft::WRL::ComPtr<IMbnDeviceService> m_pDiag;
};
