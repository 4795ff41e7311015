// One Mobile Broadband callback as a record, passed from a sink to its
// observers; valid only for the span of the call.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <cstdint>
#include <string>

struct MbnEvent {
    // Sources.
    static constexpr uint32_t kDeviceServices = 13;
    static constexpr uint32_t kInterfaceManager = 5;
    // Types of the device-services source.
    static constexpr uint32_t kSessionOpened = 0;
    static constexpr uint32_t kSessionClosed = 1;
    static constexpr uint32_t kSetComplete = 2;
    static constexpr uint32_t kQueryComplete = 3;
    static constexpr uint32_t kNotification = 4;
    static constexpr uint32_t kDataSessionOpened = 5;
    static constexpr uint32_t kDataSessionClosed = 6;
    static constexpr uint32_t kWriteDataComplete = 7;
    static constexpr uint32_t kReadData = 8;
    static constexpr uint32_t kInterfaceStateChange = 9;

    uint32_t dwSource = 0;
    uint32_t dwType = 0;
    IUnknown* pObject = nullptr;      // the IMbnDeviceService, or the IMbnInterface of arrival and removal
    std::string strInterfaceId;       // interface-state event only
    uint32_t dwInterfaceState = 0;    // interface-state event only: 0 arrival, 1 removal
    uint32_t dwRemoval = 0;           // interface-manager source: 0 arrival, 1 removal
    SAFEARRAY* pData = nullptr;       // owned by the API
    uint32_t dwRequestId = 0;
    uint32_t dwNotificationId = 0;
    uint32_t dwCid = 0;
    HRESULT hrStatus = S_OK;
};
