// Binding of the module vendor's connection-management library
// "ConnectionMgmt.dll": loaded at run time by name, its entry points looked up
// by name, thin wrappers that build the device-management requests the Foxconn
// driver needs. The program has one binding, g_GobiCMDLL; it is not locked and
// is used from the policy engine's worker thread only.
#pragma once

#include <windows.h>
#include <cstdint>

enum : uint32_t {
    // What the wrappers return when the entry point is not bound (no call made).
    GOBI_STATUS_NOT_BOUND = 1,
    // Our own refusal or an unusable reply: a request that does not fit the
    // wrapper's buffer, a missing buffer, a reply too short for its field.
    GOBI_STATUS_BAD_DATA = 0xFFFFFFFF,
};

enum : uint32_t { GOBI_TARVO_INFO_RESPONSE_SIZE = 1024 };

class cGobiCMDLL {
public:
    // Entry-point shapes; every status is 0 for success.
    using GobiConnectWFn = ULONG (*)(const wchar_t* deviceId, ULONG* count, ULONG* options, ULONGLONG* deviceHandle);
    using GobiDisconnectFn = ULONG (*)(ULONGLONG deviceHandle);
    // Every device-management and SAR call: the response length holds the buffer
    // size on entry and the received length on return.
    using DeviceRequestFn = ULONG (*)(ULONGLONG deviceHandle, ULONG timeoutMs, ULONG requestLength,
                                      const BYTE* request, ULONG* responseLength, BYTE* response);

    cGobiCMDLL();
    ~cGobiCMDLL();
    cGobiCMDLL(const cGobiCMDLL&) = delete;
    cGobiCMDLL& operator=(const cGobiCMDLL&) = delete;

    // 1 when the library is loaded and both connection entry points were found.
    int Initialize();
    // Frees the library when the binding loaded it; clears every entry point.
    void Reset();

    // 0 when connected; the device handle is kept for the calls that follow.
    uint32_t Connect(const wchar_t* deviceId, uint8_t option);
    uint32_t Disconnect();

    uint32_t DMSSetTarvoCtlMode(uint8_t mode);
    uint32_t DMSGetTarvoCtlMode(uint8_t* mode);
    uint32_t DMSSetTarvoStateMode(uint32_t state);
    uint32_t DMSGetTarvoStateMode(uint32_t* state);
    uint32_t SARRFSetState(uint32_t state);
    uint32_t SARRFGetState(uint32_t* state);
    // request of length bytes; the reply lands in response (zeroed first), its
    // received length, clamped to the buffer, in *received when given.
    uint32_t DMSGetTarvoInfo(const uint8_t* request, uint8_t (&response)[GOBI_TARVO_INFO_RESPONSE_SIZE],
                             uint32_t length, uint32_t* received = nullptr);
    uint32_t DMSSetTarvoInfo(const uint8_t* request, uint8_t (&response)[GOBI_TARVO_INFO_RESPONSE_SIZE],
                             uint32_t length, uint32_t* received = nullptr);

    ULONGLONG GetDeviceHandle() const { return m_ullDeviceHandle; }
    bool IsLoaded() const { return m_hModule != nullptr; }

private:
    // One request of the shared call shape; response may be null (no reply
    // wanted), else *received gets the reply's length, clamped to responseSize.
    uint32_t Request(DeviceRequestFn fn, ULONG timeoutMs, const BYTE* request, ULONG requestLength, BYTE* response,
                     ULONG responseSize, ULONG* received);
    uint32_t TarvoInfo(DeviceRequestFn fn, ULONG timeoutMs, size_t requestBufferSize, const uint8_t* request,
                       uint8_t* response, uint32_t length, uint32_t* received);

    GobiConnectWFn m_pfnGobiConnectW;
    GobiDisconnectFn m_pfnGobiDisconnect;
    DeviceRequestFn m_pfnDMSSetTarvoCtlMode;
    DeviceRequestFn m_pfnDMSGetTarvoCtlMode;
    DeviceRequestFn m_pfnSARRFSetState;
    DeviceRequestFn m_pfnSARRFGetState;
    DeviceRequestFn m_pfnDMSSetTarvoStateMode;
    DeviceRequestFn m_pfnDMSGetTarvoStateMode;
    DeviceRequestFn m_pfnDMSGetTarvoInfo;
    DeviceRequestFn m_pfnDMSSetTarvoInfo;
    FARPROC m_pfnWDSSetEventReport;   // bound, never called
    FARPROC m_pfnSetGenericCallback;  // bound, never called
    HMODULE m_hModule;
    bool m_bOwnsModule;
    // Returned by GobiConnectW and passed first to every later call; Reset keeps it.
    ULONGLONG m_ullDeviceHandle;
};

extern cGobiCMDLL g_GobiCMDLL;
