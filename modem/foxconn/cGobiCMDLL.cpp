#include "cGobiCMDLL.h"

#include "Logger.h"

#include <algorithm>
#include <cstring>

cGobiCMDLL g_GobiCMDLL;

namespace {
// The library and its entry points, in the order they are looked up.
enum EntryPoint {
    EP_GobiConnectW,
    EP_GobiDisconnect,
    EP_DMSSetTarvoCtlMode,
    EP_DMSGetTarvoCtlMode,
    EP_SARRFSetState,
    EP_SARRFGetState,
    EP_DMSGetTarvoInfo,
    EP_DMSSetTarvoInfo,
    EP_DMSSetTarvoStateMode,
    EP_DMSGetTarvoStateMode,
    EP_WDSSetEventReport,
    EP_SetGenericCallback,
    EP_Count
};

struct CLibraryNames {
    const wchar_t* library;
    const char* entryPoints[EP_Count];
};

const CLibraryNames kNames = {
    L"ConnectionMgmt.dll",
    {"GobiConnectW", "GobiDisconnect", "DMSSetTarvoCtlMode", "DMSGetTarvoCtlMode", "SARRFSetState", "SARRFGetState",
     "DMSGetTarvoInfo", "DMSSetTarvoInfo", "DMSSetTarvoStateMode", "DMSGetTarvoStateMode", "WDSSetEventReport",
     "SetGenericCallback"}};

const ULONG kControlTimeoutMs = 10000;
const ULONG kGetInfoTimeoutMs = 5000;
const ULONG kSetInfoTimeoutMs = 2000;
// The library reads a request buffer of fixed size, zero beyond the request.
const size_t kGetInfoRequestBuffer = 17;
const size_t kSetInfoRequestBuffer = 37;
const ULONG kStateResponseSize = 20;
// Replies carry their value element at byte 7 and its value from byte 10.
const size_t kValueTypeOffset = 7;
const size_t kValueOffset = 10;
const BYTE kValueElementType = 0x10;

template <typename Fn>
void Bind(HMODULE module, Fn& field, EntryPoint which) {
    field = reinterpret_cast<Fn>(::GetProcAddress(module, kNames.entryPoints[which]));
}

uint32_t ReadU32(const BYTE* at) {
    return static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) | (static_cast<uint32_t>(at[2]) << 16) |
           (static_cast<uint32_t>(at[3]) << 24);
}
}  // namespace

cGobiCMDLL::cGobiCMDLL() : m_hModule(nullptr), m_bOwnsModule(false), m_ullDeviceHandle(0) { Reset(); }

cGobiCMDLL::~cGobiCMDLL() { Reset(); }

int cGobiCMDLL::Initialize() {
    Reset();
    m_bOwnsModule = true;
    m_hModule = ::LoadLibraryExW(kNames.library, nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    if (m_hModule) {
        Bind(m_hModule, m_pfnGobiConnectW, EP_GobiConnectW);
        Bind(m_hModule, m_pfnGobiDisconnect, EP_GobiDisconnect);
        Bind(m_hModule, m_pfnDMSSetTarvoCtlMode, EP_DMSSetTarvoCtlMode);
        Bind(m_hModule, m_pfnDMSGetTarvoCtlMode, EP_DMSGetTarvoCtlMode);
        Bind(m_hModule, m_pfnSARRFSetState, EP_SARRFSetState);
        Bind(m_hModule, m_pfnSARRFGetState, EP_SARRFGetState);
        Bind(m_hModule, m_pfnDMSGetTarvoInfo, EP_DMSGetTarvoInfo);
        Bind(m_hModule, m_pfnDMSSetTarvoInfo, EP_DMSSetTarvoInfo);
        Bind(m_hModule, m_pfnDMSSetTarvoStateMode, EP_DMSSetTarvoStateMode);
        Bind(m_hModule, m_pfnDMSGetTarvoStateMode, EP_DMSGetTarvoStateMode);
        Bind(m_hModule, m_pfnWDSSetEventReport, EP_WDSSetEventReport);
        Bind(m_hModule, m_pfnSetGenericCallback, EP_SetGenericCallback);
    } else {
        LogWrite("cGobiCMDLL::Initialize", "Failed to connect device.", 2);
    }
    if (m_pfnGobiConnectW && m_pfnGobiDisconnect) return 1;
    Reset();
    return 0;
}

void cGobiCMDLL::Reset() {
    if (m_hModule && m_bOwnsModule) ::FreeLibrary(m_hModule);
    m_hModule = nullptr;
    m_bOwnsModule = false;
    m_pfnGobiConnectW = nullptr;
    m_pfnGobiDisconnect = nullptr;
    m_pfnDMSSetTarvoCtlMode = nullptr;
    m_pfnDMSGetTarvoCtlMode = nullptr;
    m_pfnSARRFSetState = nullptr;
    m_pfnSARRFGetState = nullptr;
    m_pfnDMSSetTarvoStateMode = nullptr;
    m_pfnDMSGetTarvoStateMode = nullptr;
    m_pfnDMSGetTarvoInfo = nullptr;
    m_pfnDMSSetTarvoInfo = nullptr;
    m_pfnWDSSetEventReport = nullptr;
    m_pfnSetGenericCallback = nullptr;
}

uint32_t cGobiCMDLL::Connect(const wchar_t* deviceId, uint8_t option) {
    if (!m_pfnGobiConnectW) return GOBI_STATUS_NOT_BOUND;
    ULONG count = 1;
    ULONG options[4] = {option, 0, 0, 0};
    ULONGLONG handle = 0;
    ULONG status = m_pfnGobiConnectW(deviceId, &count, options, &handle);
    if (status != 0) return status;
    if (count > 0) {
        m_ullDeviceHandle = handle;
        return 0;
    }
    // Nothing connected: let go of whatever connection the binding still holds.
    Disconnect();
    return 1;
}

uint32_t cGobiCMDLL::Disconnect() {
    if (!m_pfnGobiDisconnect || m_ullDeviceHandle == 0) return 1;
    ULONG status = m_pfnGobiDisconnect(m_ullDeviceHandle);
    if (status != 0) LogWrite("cGobiCMDLL::Disconnect", "Failed to disconnect device", 2);
    return status;
}

uint32_t cGobiCMDLL::Request(DeviceRequestFn fn, ULONG timeoutMs, const BYTE* request, ULONG requestLength,
                             BYTE* response, ULONG responseSize, ULONG* received) {
    ULONG responseLength = response ? responseSize : 0;
    ULONG status = fn(m_ullDeviceHandle, timeoutMs, requestLength, request, response ? &responseLength : nullptr,
                      response);
    // A library that reports more than the buffer holds is not believed.
    if (received) *received = response ? std::min(responseLength, responseSize) : 0;
    return status;
}

uint32_t cGobiCMDLL::DMSSetTarvoCtlMode(uint8_t mode) {
    if (!m_pfnDMSSetTarvoCtlMode) return GOBI_STATUS_NOT_BOUND;
    const BYTE request[4] = {0x01, 0x01, 0x00, mode};
    return Request(m_pfnDMSSetTarvoCtlMode, kControlTimeoutMs, request, sizeof(request), nullptr, 0, nullptr);
}

uint32_t cGobiCMDLL::DMSGetTarvoCtlMode(uint8_t* mode) {
    if (!m_pfnDMSGetTarvoCtlMode) {
        LogWrite("cGobiCMDLL::DMSGetTarvoCtlMode", "mpFnDMSGetTarvoCtlMode is null.", 2);
        return GOBI_STATUS_NOT_BOUND;
    }
    BYTE response[kStateResponseSize] = {};
    ULONG received = 0;
    uint32_t status = Request(m_pfnDMSGetTarvoCtlMode, kControlTimeoutMs, nullptr, 0, response, sizeof(response),
                              &received);
    if (status != 0) return status;
    if (received <= kValueOffset) return GOBI_STATUS_BAD_DATA;
    if (mode) *mode = response[kValueOffset];
    return 0;
}

uint32_t cGobiCMDLL::DMSSetTarvoStateMode(uint32_t state) {
    if (!m_pfnDMSSetTarvoStateMode) return GOBI_STATUS_NOT_BOUND;
    const BYTE request[4] = {0x01, 0x01, 0x00, static_cast<BYTE>(state & 0xFF)};
    return Request(m_pfnDMSSetTarvoStateMode, kControlTimeoutMs, request, sizeof(request), nullptr, 0, nullptr);
}

uint32_t cGobiCMDLL::DMSGetTarvoStateMode(uint32_t* state) {
    if (!m_pfnDMSGetTarvoStateMode) return GOBI_STATUS_NOT_BOUND;
    BYTE response[kStateResponseSize] = {};
    ULONG received = 0;
    uint32_t status = Request(m_pfnDMSGetTarvoStateMode, kControlTimeoutMs, nullptr, 0, response, sizeof(response),
                              &received);
    if (status != 0) return status;
    if (received <= kValueOffset) return GOBI_STATUS_BAD_DATA;
    if (state) *state = response[kValueOffset];
    return 0;
}

uint32_t cGobiCMDLL::SARRFSetState(uint32_t state) {
    if (!m_pfnSARRFSetState) {
        LogWrite("cGobiCMDLL::SARRFSetState", "SARRFSetState is null.", 2);
        return GOBI_STATUS_NOT_BOUND;
    }
    const BYTE request[7] = {0x01,
                             0x04,
                             0x00,
                             static_cast<BYTE>(state & 0xFF),
                             static_cast<BYTE>((state >> 8) & 0xFF),
                             static_cast<BYTE>((state >> 16) & 0xFF),
                             static_cast<BYTE>((state >> 24) & 0xFF)};
    return Request(m_pfnSARRFSetState, kControlTimeoutMs, request, sizeof(request), nullptr, 0, nullptr);
}

uint32_t cGobiCMDLL::SARRFGetState(uint32_t* state) {
    if (!m_pfnSARRFGetState) return GOBI_STATUS_NOT_BOUND;
    BYTE response[kStateResponseSize] = {};
    ULONG received = 0;
    uint32_t status =
        Request(m_pfnSARRFGetState, kControlTimeoutMs, nullptr, 0, response, sizeof(response), &received);
    if (status != 0) return status;
    if (received < kValueOffset + 4 || response[kValueTypeOffset] != kValueElementType) return GOBI_STATUS_BAD_DATA;
    if (state) *state = ReadU32(response + kValueOffset);
    return 0;
}

uint32_t cGobiCMDLL::TarvoInfo(DeviceRequestFn fn, ULONG timeoutMs, size_t requestBufferSize,
                               const uint8_t* request, uint8_t* response, uint32_t length, uint32_t* received) {
    std::memset(response, 0, GOBI_TARVO_INFO_RESPONSE_SIZE);
    if (received) *received = 0;
    // A request that does not fit the fixed buffer is refused, not cut.
    if (length > requestBufferSize || (length > 0 && request == nullptr)) return GOBI_STATUS_BAD_DATA;
    BYTE buffer[kSetInfoRequestBuffer] = {};
    if (length > 0) std::memcpy(buffer, request, length);
    ULONG receivedLength = 0;
    uint32_t status = Request(fn, timeoutMs, buffer, length, response, GOBI_TARVO_INFO_RESPONSE_SIZE, &receivedLength);
    if (received) *received = receivedLength;
    return status;
}

uint32_t cGobiCMDLL::DMSGetTarvoInfo(const uint8_t* request, uint8_t (&response)[GOBI_TARVO_INFO_RESPONSE_SIZE],
                                     uint32_t length, uint32_t* received) {
    if (!m_pfnDMSGetTarvoInfo) return GOBI_STATUS_NOT_BOUND;
    return TarvoInfo(m_pfnDMSGetTarvoInfo, kGetInfoTimeoutMs, kGetInfoRequestBuffer, request, response, length,
                     received);
}

uint32_t cGobiCMDLL::DMSSetTarvoInfo(const uint8_t* request, uint8_t (&response)[GOBI_TARVO_INFO_RESPONSE_SIZE],
                                     uint32_t length, uint32_t* received) {
    if (!m_pfnDMSSetTarvoInfo) return GOBI_STATUS_NOT_BOUND;
    return TarvoInfo(m_pfnDMSSetTarvoInfo, kSetInfoTimeoutMs, kSetInfoRequestBuffer, request, response, length,
                     received);
}
