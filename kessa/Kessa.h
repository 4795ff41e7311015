// The face of Kessa.dll: 17 undecorated exports that carry SAR commands to a
// Nuvik modem over Mobile Broadband device services. Every call is synchronous.
// A client binds them by name (GetProcAddress) with the pointer types below.
#pragma once

#include <cstdint>

#define KESSA_CALL __stdcall

// Result codes.
constexpr int32_t KESSA_OK = 0;
constexpr int32_t KESSA_FAILED = -1;               // failure or time-out
constexpr int32_t KESSA_BUSY = -2;                 // time-out after the modem answered busy
constexpr int32_t KESSA_ROOT_NOT_SENT = -3;        // Kessa_SetDeviceRoot only
constexpr int32_t KESSA_NULL_HANDLE = -30;         // 0xFFFFFFE2
constexpr int32_t KESSA_ALREADY_INITIALISED = 1;  // Kessa_Init only

// The per-client handle; the library allocates and owns it.
struct SarDeviceContext;

// Called with each complete SAR data frame once both the callback and the user
// pointer are set, in arrival order, one frame at a time, under the context's
// callback lock alone: it may call the library on its own context (read, or set
// or clear the callback). A Kessa_GetSarValue in progress is woken before the
// callback sees the frame that completes it, so it can return first.
typedef void (*SarValueCallback)(SarDeviceContext* handle, const uint8_t* frame, uint32_t length, void* user);

extern "C" {
int32_t KESSA_CALL Kessa_CloseDeviceServices(SarDeviceContext* handle);
int32_t KESSA_CALL Kessa_GetFileCrc(SarDeviceContext* handle, const uint8_t* data, uint16_t length, uint16_t* crc);
int32_t KESSA_CALL Kessa_GetIsMbimReady(SarDeviceContext* handle, uint8_t* ready);
int32_t KESSA_CALL Kessa_GetSarEnable(SarDeviceContext* handle, uint8_t* enabled);
int32_t KESSA_CALL Kessa_GetSarIndex(SarDeviceContext* handle, int32_t* index);
int32_t KESSA_CALL Kessa_GetSarValue(SarDeviceContext* handle, uint8_t** data, int32_t* length);
int32_t KESSA_CALL Kessa_GetSarVersion(SarDeviceContext* handle, int32_t* index, uint16_t* crc);
int32_t KESSA_CALL Kessa_Init(const char* interfaceId);
int32_t KESSA_CALL Kessa_IsWrite(SarDeviceContext* handle, const uint8_t* a, uint16_t lengthA, const uint8_t* b,
                                 uint16_t lengthB, uint8_t* equal);
SarDeviceContext* KESSA_CALL Kessa_OpenDeviceServices();
int32_t KESSA_CALL Kessa_SetDeviceRoot(SarDeviceContext* handle);
int32_t KESSA_CALL Kessa_SetSarCallBack(SarDeviceContext* handle, SarValueCallback callback, void* user);
int32_t KESSA_CALL Kessa_SetSarEnable(SarDeviceContext* handle, uint8_t enable);
int32_t KESSA_CALL Kessa_SetSarIndex(SarDeviceContext* handle, int32_t index);
int32_t KESSA_CALL Kessa_SetSarValue(SarDeviceContext* handle, const uint8_t* data, int32_t length);
int32_t KESSA_CALL Kessa_SetSarVersion(SarDeviceContext* handle, int32_t index, int32_t crc);
int32_t KESSA_CALL Kessa_UnInit();
}

// Pointer types for binding by name.
typedef int32_t(KESSA_CALL* PFN_Kessa_CloseDeviceServices)(SarDeviceContext*);
typedef int32_t(KESSA_CALL* PFN_Kessa_GetFileCrc)(SarDeviceContext*, const uint8_t*, uint16_t, uint16_t*);
typedef int32_t(KESSA_CALL* PFN_Kessa_GetIsMbimReady)(SarDeviceContext*, uint8_t*);
typedef int32_t(KESSA_CALL* PFN_Kessa_GetSarEnable)(SarDeviceContext*, uint8_t*);
typedef int32_t(KESSA_CALL* PFN_Kessa_GetSarIndex)(SarDeviceContext*, int32_t*);
typedef int32_t(KESSA_CALL* PFN_Kessa_GetSarValue)(SarDeviceContext*, uint8_t**, int32_t*);
typedef int32_t(KESSA_CALL* PFN_Kessa_GetSarVersion)(SarDeviceContext*, int32_t*, uint16_t*);
typedef int32_t(KESSA_CALL* PFN_Kessa_Init)(const char*);
typedef int32_t(KESSA_CALL* PFN_Kessa_IsWrite)(SarDeviceContext*, const uint8_t*, uint16_t, const uint8_t*, uint16_t,
                                              uint8_t*);
typedef SarDeviceContext*(KESSA_CALL* PFN_Kessa_OpenDeviceServices)();
typedef int32_t(KESSA_CALL* PFN_Kessa_SetDeviceRoot)(SarDeviceContext*);
typedef int32_t(KESSA_CALL* PFN_Kessa_SetSarCallBack)(SarDeviceContext*, SarValueCallback, void*);
typedef int32_t(KESSA_CALL* PFN_Kessa_SetSarEnable)(SarDeviceContext*, uint8_t);
typedef int32_t(KESSA_CALL* PFN_Kessa_SetSarIndex)(SarDeviceContext*, int32_t);
typedef int32_t(KESSA_CALL* PFN_Kessa_SetSarValue)(SarDeviceContext*, const uint8_t*, int32_t);
typedef int32_t(KESSA_CALL* PFN_Kessa_SetSarVersion)(SarDeviceContext*, int32_t, int32_t);
typedef int32_t(KESSA_CALL* PFN_Kessa_UnInit)();
