// The service's binding of Kessa.dll: loaded by name once, 16 exports bound by
// name, one logging wrapper per operation. A process-wide singleton, never freed.
#pragma once

#include <windows.h>
#include <cstdint>
#include <string>

struct SarDeviceContext;

using PFN_Kessa_Init = int(__cdecl*)(const char* interfaceId);
using PFN_Kessa_UnInit = int(__cdecl*)();
using PFN_Kessa_OpenDeviceServices = SarDeviceContext*(__cdecl*)();
using PFN_Kessa_CloseDeviceServices = int(__cdecl*)(SarDeviceContext* handle);
using PFN_Kessa_GetIsMbimReady = int(__cdecl*)(SarDeviceContext* handle, uint8_t* ready);
using PFN_Kessa_SetSarEnable = int(__cdecl*)(SarDeviceContext* handle, uint8_t enable);
using PFN_Kessa_GetSarEnable = int(__cdecl*)(SarDeviceContext* handle, uint8_t* enabled);
using PFN_Kessa_SetSarValue = int(__cdecl*)(SarDeviceContext* handle, const uint8_t* data, int32_t length);
using PFN_Kessa_GetSarValue = int(__cdecl*)(SarDeviceContext* handle, uint8_t** data, int32_t* length);
using PFN_Kessa_SetSarVersion = int(__cdecl*)(SarDeviceContext* handle, int32_t index, int32_t crc);
using PFN_Kessa_GetSarVersion = int(__cdecl*)(SarDeviceContext* handle, int32_t* index, uint16_t* crc);
using PFN_Kessa_SetSarIndex = int(__cdecl*)(SarDeviceContext* handle, int32_t index);
using PFN_Kessa_GetSarIndex = int(__cdecl*)(SarDeviceContext* handle, int32_t* index);
using PFN_Kessa_GetFileCrc = int(__cdecl*)(SarDeviceContext* handle, const uint8_t* data, uint16_t length,
                                           uint16_t* crc);
using PFN_Kessa_IsWrite = int(__cdecl*)(SarDeviceContext* handle, const uint8_t* a, uint16_t lengthA,
                                        const uint8_t* b, uint16_t lengthB, uint8_t* equal);
using PFN_Kessa_SetDeviceRoot = int(__cdecl*)(SarDeviceContext* handle);

// The device-services handle of Kessa_OpenDeviceServices, kept for the life of the process.
extern SarDeviceContext* g_hDeviceServices;

class CNuvikTarvoApi {
public:
    // The binding, created once on first use (CCreationLock: under
    // "NuvikTarvoApiCreateMutex" when it can be had, else without it); null
    // when the calling thread's stop came first or the binding cannot be allocated.
    static CNuvikTarvoApi* GetInstance();

    int Init();
    int OpenMBIMPorts(std::string uuid);
    int CheckMBIM(uint8_t* status);
    int OpenDeviceSvc();
    int GetSarEnable(uint8_t* flag);
    int SetSarEnable(uint8_t flag);
    int GetFileCRC(const uint8_t* data, uint32_t length, uint16_t* crc);
    int GetSarTable(uint32_t* index, uint16_t* crc);
    int SetSarTable(uint16_t index, uint16_t crc);
    int GetSarValue(uint8_t** data, int32_t* length);
    int SetSarValue(const uint8_t* data, uint32_t length);
    int IsWrite(const uint8_t* a, uint32_t lengthA, const uint8_t* b, uint32_t lengthB, uint8_t* equal);
    int ModuleReboot();
    int GetSarLevel(uint32_t* index);
    int SetSarLevel(uint32_t index);
    int CloseMBIMPorts();
    bool IsLoaded();
    void IsFwUpdateRunning(uint8_t* running);

private:
    CNuvikTarvoApi();
    ~CNuvikTarvoApi();

    DWORD m_dwReserved;
    HMODULE m_hModule;
    PFN_Kessa_Init m_pfnInit;
    PFN_Kessa_UnInit m_pfnUnInit;
    PFN_Kessa_OpenDeviceServices m_pfnOpenDeviceServices;
    PFN_Kessa_CloseDeviceServices m_pfnCloseDeviceServices;
    PFN_Kessa_GetIsMbimReady m_pfnGetIsMbimReady;
    PFN_Kessa_SetSarEnable m_pfnSetSarEnable;
    PFN_Kessa_GetSarEnable m_pfnGetSarEnable;
    PFN_Kessa_SetSarValue m_pfnSetSarValue;
    PFN_Kessa_GetSarValue m_pfnGetSarValue;
    PFN_Kessa_SetSarVersion m_pfnSetSarVersion;
    PFN_Kessa_GetSarVersion m_pfnGetSarVersion;
    PFN_Kessa_SetSarIndex m_pfnSetSarIndex;
    PFN_Kessa_GetSarIndex m_pfnGetSarIndex;
    PFN_Kessa_GetFileCrc m_pfnGetFileCrc;
    PFN_Kessa_IsWrite m_pfnIsWrite;
    PFN_Kessa_SetDeviceRoot m_pfnSetDeviceRoot;
};
