// The exports: argument checks, then the manager or the command bodies.
// Nothing may escape into the caller as an exception: a failure of the
// standard library (memory, lock primitives) ends the call with -1 (null).
#include "Kessa.h"

#include "CNuvikMbimManager.h"
#include "KessaTrace.h"
#include "SarCommands.h"
#include "SarCrc.h"
#include "SarDeviceContext.h"

#include <exception>
#include <string>

namespace {
template <typename TResult, typename TBody>
TResult Guarded(const char* name, TResult onException, TBody body) {
    try {
        return body();
    } catch (const std::exception& e) {
        KessaPrint("%s exception: %s\n", name, e.what());
    } catch (...) {
        KessaPrint("%s exception\n", name);
    }
    return onException;
}
}  // namespace

// The manager goes with the library only when the library alone is freed.
// At the end of the process the other threads are already stopped, wherever
// they were, so nothing of theirs is touched then.
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) CNuvikMbimManager::ReleaseInstance();
    return TRUE;
}

extern "C" {

int32_t KESSA_CALL Kessa_Init(const char* interfaceId) {
    if (interfaceId == nullptr) return KESSA_FAILED;
    return Guarded("Kessa_Init", KESSA_FAILED, [&] {
        CNuvikMbimManager* manager = CNuvikMbimManager::GetInstance();
        return manager ? manager->Init(std::string(interfaceId)) : KESSA_FAILED;
    });
}

int32_t KESSA_CALL Kessa_UnInit() {
    return Guarded("Kessa_UnInit", KESSA_OK, [] {
        CNuvikMbimManager* manager = CNuvikMbimManager::GetInstance();
        return manager ? manager->UnInit() : KESSA_OK;
    });
}

SarDeviceContext* KESSA_CALL Kessa_OpenDeviceServices() {
    return Guarded("Kessa_OpenDeviceServices", static_cast<SarDeviceContext*>(nullptr), [] {
        CNuvikMbimManager* manager = CNuvikMbimManager::GetInstance();
        return manager ? manager->OpenDeviceServices() : nullptr;
    });
}

int32_t KESSA_CALL Kessa_CloseDeviceServices(SarDeviceContext* handle) {
    return Guarded("Kessa_CloseDeviceServices", KESSA_FAILED, [&] {
        CNuvikMbimManager* manager = CNuvikMbimManager::GetInstance();
        return manager ? manager->CloseDeviceServices(handle) : KESSA_FAILED;
    });
}

int32_t KESSA_CALL Kessa_GetIsMbimReady(SarDeviceContext* handle, uint8_t* ready) {
    if (ready == nullptr) return KESSA_FAILED;
    CNuvikMbimManager* manager = CNuvikMbimManager::GetInstance();
    *ready = manager ? manager->IsMbimReady() : 0;
    KessaPrint("mbimready: %d\n\n", static_cast<int>(*ready));
    return KESSA_OK;
}

int32_t KESSA_CALL Kessa_SetSarEnable(SarDeviceContext* handle, uint8_t enable) {
    if (handle == nullptr) return KESSA_NULL_HANDLE;
    return Guarded("Kessa_SetSarEnable", KESSA_FAILED, [&] { return SetSarEnableCmd(handle, enable); });
}

int32_t KESSA_CALL Kessa_GetSarEnable(SarDeviceContext* handle, uint8_t* enabled) {
    if (handle == nullptr) return KESSA_NULL_HANDLE;
    if (enabled == nullptr) return KESSA_FAILED;
    return Guarded("Kessa_GetSarEnable", KESSA_FAILED, [&] { return GetSarEnableCmd(handle, enabled); });
}

int32_t KESSA_CALL Kessa_SetSarIndex(SarDeviceContext* handle, int32_t index) {
    if (handle == nullptr) return KESSA_NULL_HANDLE;
    return Guarded("Kessa_SetSarIndex", KESSA_FAILED, [&] { return SetSarIndexCmd(handle, index); });
}

int32_t KESSA_CALL Kessa_GetSarIndex(SarDeviceContext* handle, int32_t* index) {
    if (handle == nullptr) return KESSA_NULL_HANDLE;
    if (index == nullptr) return KESSA_FAILED;
    return Guarded("Kessa_GetSarIndex", KESSA_FAILED, [&] { return GetSarIndexCmd(handle, index); });
}

int32_t KESSA_CALL Kessa_SetSarValue(SarDeviceContext* handle, const uint8_t* data, int32_t length) {
    if (handle == nullptr) return KESSA_NULL_HANDLE;
    return Guarded("Kessa_SetSarValue", KESSA_FAILED, [&] { return SetSarValueCmd(handle, data, length); });
}

int32_t KESSA_CALL Kessa_GetSarValue(SarDeviceContext* handle, uint8_t** data, int32_t* length) {
    if (handle == nullptr) return KESSA_NULL_HANDLE;
    if (data == nullptr || length == nullptr) return KESSA_FAILED;
    return Guarded("Kessa_GetSarValue", KESSA_FAILED, [&] { return GetSarValueCmd(handle, data, length); });
}

int32_t KESSA_CALL Kessa_SetSarVersion(SarDeviceContext* handle, int32_t index, int32_t crc) {
    if (handle == nullptr) return KESSA_NULL_HANDLE;
    return Guarded("Kessa_SetSarVersion", KESSA_FAILED, [&] { return SetSarVersionCmd(handle, index, crc); });
}

int32_t KESSA_CALL Kessa_GetSarVersion(SarDeviceContext* handle, int32_t* index, uint16_t* crc) {
    if (handle == nullptr) return KESSA_NULL_HANDLE;
    if (index == nullptr || crc == nullptr) return KESSA_FAILED;
    return Guarded("Kessa_GetSarVersion", KESSA_FAILED, [&] { return GetSarVersionCmd(handle, index, crc); });
}

int32_t KESSA_CALL Kessa_SetDeviceRoot(SarDeviceContext* handle) {
    if (handle == nullptr) return KESSA_NULL_HANDLE;
    return Guarded("Kessa_SetDeviceRoot", KESSA_ROOT_NOT_SENT, [&] { return SetDeviceRootCmd(handle); });
}

int32_t KESSA_CALL Kessa_GetFileCrc(SarDeviceContext* handle, const uint8_t* data, uint16_t length, uint16_t* crc) {
    if (handle == nullptr) return KESSA_NULL_HANDLE;
    if (crc == nullptr) return KESSA_FAILED;
    return GetFileCrcCmd(handle, data, length, crc);
}

int32_t KESSA_CALL Kessa_IsWrite(SarDeviceContext* handle, const uint8_t* a, uint16_t lengthA, const uint8_t* b,
                                 uint16_t lengthB, uint8_t* equal) {
    if (handle == nullptr) return KESSA_NULL_HANDLE;
    if (equal == nullptr) return KESSA_FAILED;
    *equal = SarFilesMatch(a, lengthA, b, lengthB) ? 1 : 0;
    return KESSA_OK;
}

int32_t KESSA_CALL Kessa_SetSarCallBack(SarDeviceContext* handle, SarValueCallback callback, void* user) {
    if (handle == nullptr) return KESSA_NULL_HANDLE;
    return Guarded("Kessa_SetSarCallBack", KESSA_FAILED, [&] {
        std::lock_guard<std::recursive_mutex> guard(handle->m_csCallback);
        handle->m_pfnCallback = callback;
        handle->m_pCallbackUser = user;
        return KESSA_OK;
    });
}

}  // extern "C"
