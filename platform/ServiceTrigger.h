// Service start-trigger structures that mingw-w64's winsvc.h lacks (it has the
// SERVICE_TRIGGER_* constants only). Layouts as in the Windows SDK.
#pragma once

#include <windows.h>
#include <winsvc.h>

#ifndef SERVICE_CONFIG_TRIGGER_INFO
#define SERVICE_CONFIG_TRIGGER_INFO 8
#endif
#ifndef SERVICE_TRIGGER_TYPE_DEVICE_INTERFACE_ARRIVAL
#define SERVICE_TRIGGER_TYPE_DEVICE_INTERFACE_ARRIVAL 1
#endif
#ifndef SERVICE_TRIGGER_ACTION_SERVICE_START
#define SERVICE_TRIGGER_ACTION_SERVICE_START 1
#endif

struct TARVO_SERVICE_TRIGGER_SPECIFIC_DATA_ITEM {
    DWORD dwDataType;
    DWORD cbData;
    PBYTE pData;
};

struct TARVO_SERVICE_TRIGGER {
    DWORD dwTriggerType;
    DWORD dwAction;
    GUID* pTriggerSubtype;
    DWORD cDataItems;
    TARVO_SERVICE_TRIGGER_SPECIFIC_DATA_ITEM* pDataItems;
};

struct TARVO_SERVICE_TRIGGER_INFO {
    DWORD cTriggers;
    TARVO_SERVICE_TRIGGER* pTriggers;
    PBYTE pReserved;
};

#ifdef _WIN64
static_assert(sizeof(TARVO_SERVICE_TRIGGER) == 32, "SERVICE_TRIGGER x64 layout");
static_assert(sizeof(TARVO_SERVICE_TRIGGER_INFO) == 24, "SERVICE_TRIGGER_INFO x64 layout");
#endif

// {CAC88484-7515-4C03-82E6-71A87ABAC361}
extern "C" const GUID DECLSPEC_SELECTANY TARVO_GUID_DEVINTERFACE_NET = {
    0xCAC88484, 0x7515, 0x4C03, {0x82, 0xE6, 0x71, 0xA8, 0x7A, 0xBA, 0xC3, 0x61}};
