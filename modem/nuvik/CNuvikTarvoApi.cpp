#include "CNuvikTarvoApi.h"

#include "CCreationLock.h"
#include "Handles.h"
#include "Logger.h"

#include <atomic>
#include <new>
#include <string>

SarDeviceContext* g_hDeviceServices = nullptr;

namespace {
const char kFirmwareUpdateEvent[] = "Global\\{82F34418-8931-43E4-AF1D-CF59E4EFA80C}";
// Kessa takes 16-bit lengths for its CRC checks: longer data is refused
// instead of being checked over its length modulo 65536.
const uint32_t kMaxCheckedLength = 0xFFFF;

// Tested before the creation mutex is taken, so read and written atomically.
std::atomic<CNuvikTarvoApi*> s_pInstance{nullptr};
HANDLE g_hNuvikTarvoApiMutex = nullptr;

template <typename T>
bool Bind(HMODULE module, const char* name, T& entry, const char* missingText) {
    entry = reinterpret_cast<T>(::GetProcAddress(module, name));
    if (entry) return true;
    LogWrite("CNuvikTarvoApi::Init", missingText, 1);
    return false;
}

void Log(const char* method, const std::string& text) { LogWrite(std::string("CNuvikTarvoApi::") + method, text, 1); }

bool CheckableLength(const char* method, uint32_t length) {
    if (length <= kMaxCheckedLength) return true;
    Log(method, std::to_string(length) + " bytes are more than the library can check");
    return false;
}
}  // namespace

CNuvikTarvoApi* CNuvikTarvoApi::GetInstance() {
    if (CNuvikTarvoApi* instance = s_pInstance.load()) return instance;
    static CCreationLock s_creation("NuvikTarvoApiCreateMutex");
    CCreationLock::CScope creating(s_creation);
    if (!creating.Describe().empty()) LogWrite("CNuvikTarvoApi::GetInstance", creating.Describe(), 1);
    // Only a stop keeps the binding from being made: the caller's start-up ends with it.
    if (!creating.MayCreate()) return s_pInstance.load();
    if (!s_pInstance.load()) {
        s_pInstance = new (std::nothrow) CNuvikTarvoApi();
        LogWrite("CNuvikTarvoApi::GetInstance", "New Nuvik Instance", 1);
    }
    return s_pInstance.load();
}

CNuvikTarvoApi::CNuvikTarvoApi()
    : m_dwReserved(0),
      m_hModule(nullptr),
      m_pfnInit(nullptr),
      m_pfnUnInit(nullptr),
      m_pfnOpenDeviceServices(nullptr),
      m_pfnCloseDeviceServices(nullptr),
      m_pfnGetIsMbimReady(nullptr),
      m_pfnSetSarEnable(nullptr),
      m_pfnGetSarEnable(nullptr),
      m_pfnSetSarValue(nullptr),
      m_pfnGetSarValue(nullptr),
      m_pfnSetSarVersion(nullptr),
      m_pfnGetSarVersion(nullptr),
      m_pfnSetSarIndex(nullptr),
      m_pfnGetSarIndex(nullptr),
      m_pfnGetFileCrc(nullptr),
      m_pfnIsWrite(nullptr),
      m_pfnSetDeviceRoot(nullptr) {
    // A creation that failed before may have opened it already.
    if (!g_hNuvikTarvoApiMutex) g_hNuvikTarvoApiMutex = CreateOrOpenNamedMutex("NuvikTarvoApiMutex");
    m_hModule = ::LoadLibraryExA("Kessa.dll", nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    if (!m_hModule) {
        DWORD error = ::GetLastError();
        if (error == ERROR_MOD_NOT_FOUND)
            LogWrite("CNuvikTarvoApi::CNuvikTarvoApi", "Kessa.dll NOT FOUND", 1);
        else
            LogWrite("CNuvikTarvoApi::CNuvikTarvoApi", "Failed to load Kessa.dll error: " + std::to_string(error), 1);
        return;
    }
    if (Init() == 0) LogWrite("CNuvikTarvoApi::CNuvikTarvoApi", "Init Success", 1);
}

CNuvikTarvoApi::~CNuvikTarvoApi() {
    if (g_hNuvikTarvoApiMutex) ::CloseHandle(g_hNuvikTarvoApiMutex);
    g_hNuvikTarvoApiMutex = nullptr;
    if (m_hModule) ::FreeLibrary(m_hModule);
}

int CNuvikTarvoApi::Init() {
    bool all = true;
    HMODULE m = m_hModule;
    all &= Bind(m, "Kessa_Init", m_pfnInit, "Kessa_Init address is not loaded");
    all &= Bind(m, "Kessa_UnInit", m_pfnUnInit, "Kessa_UnInit address is not loaded");
    all &= Bind(m, "Kessa_OpenDeviceServices", m_pfnOpenDeviceServices,
                "Kessa_OpenDeviceServices address is not loaded");
    all &= Bind(m, "Kessa_CloseDeviceServices", m_pfnCloseDeviceServices,
                "Kessa_CloseDeviceServices address is not loaded");
    all &= Bind(m, "Kessa_GetIsMbimReady", m_pfnGetIsMbimReady, "Kessa_GetIsMbimReady address not loaded");
    all &= Bind(m, "Kessa_SetSarEnable", m_pfnSetSarEnable, "Kessa_SetSarEnable address is not loaded");
    all &= Bind(m, "Kessa_GetSarEnable", m_pfnGetSarEnable, "Kessa_GetSarEnable address is not loaded");
    all &= Bind(m, "Kessa_SetSarIndex", m_pfnSetSarIndex, "Kessa_SetSarIndex address is not loaded");
    all &= Bind(m, "Kessa_GetSarIndex", m_pfnGetSarIndex, "Kessa_GetSarIndex address is not loaded");
    all &= Bind(m, "Kessa_SetSarValue", m_pfnSetSarValue, "Kessa_SetSarValue address is not loaded");
    all &= Bind(m, "Kessa_GetSarValue", m_pfnGetSarValue, "Kessa_GetSarValue address is not loaded");
    all &= Bind(m, "Kessa_SetSarVersion", m_pfnSetSarVersion, "Kessa_SetSarVersion address is not loaded");
    all &= Bind(m, "Kessa_GetSarVersion", m_pfnGetSarVersion, "Kessa_GetSarVersion address is not loaded");
    all &= Bind(m, "Kessa_GetFileCrc", m_pfnGetFileCrc, "Kessa_GetFileCrc address is not loaded");
    all &= Bind(m, "Kessa_IsWrite", m_pfnIsWrite, "Kessa_IsWrite address is not loaded");
    all &= Bind(m, "Kessa_SetDeviceRoot", m_pfnSetDeviceRoot, "Kessa_SetDeviceRoot address is not loaded");
    LogWrite("CNuvikTarvoApi::Init",
             all ? "Nuvik Proc Initialization Success" : "Nuvik Proc Initialization Failed", 1);
    return all ? 0 : -1;
}

int CNuvikTarvoApi::OpenMBIMPorts(std::string uuid) {
    if (!m_pfnInit) return -1;
    Log("OpenMBIMPorts", "Initializing MBIM Ports...");
    int result = m_pfnInit(uuid.c_str());
    Log("OpenMBIMPorts", result != 0 ? "MBIM Ports Initialization FAILED. Result Code: " + std::to_string(result)
                                     : std::string("MBIM Ports Initialization SUCCESS"));
    return result;
}

int CNuvikTarvoApi::CheckMBIM(uint8_t* status) {
    if (!m_pfnGetIsMbimReady) return -1;
    Log("CheckMBIM", "Querying MBIM Ports...");
    int result = m_pfnGetIsMbimReady(g_hDeviceServices, status);
    Log("CheckMBIM", result != 0 ? "CheckMBIM API FAILED. Result Code: " + std::to_string(result)
                                 : "CheckMBIM API SUCCESS, bStatus = " + std::to_string(status ? *status : 0));
    return result;
}

int CNuvikTarvoApi::OpenDeviceSvc() {
    if (!m_pfnOpenDeviceServices) return -1;
    Log("OpenDeviceSvc", "Open device service...");
    g_hDeviceServices = m_pfnOpenDeviceServices();
    if (!g_hDeviceServices) {
        Log("OpenDeviceSvc", "Open device service FAILED. Result Code: " + std::to_string(-1));
        return -1;
    }
    Log("OpenDeviceSvc", "Open device service SUCCESS");
    return 0;
}

int CNuvikTarvoApi::GetSarEnable(uint8_t* flag) {
    if (!m_pfnGetSarEnable) return -1;
    Log("GetSarEnable", "Get Sar Enable...");
    int result = m_pfnGetSarEnable(g_hDeviceServices, flag);
    Log("GetSarEnable", "Sar enable flag is " + std::to_string(flag ? *flag : 0));
    Log("GetSarEnable", result != 0 ? "GetSarEnable FAILED" : "GetSarEnable SUCCESS");
    return result;
}

int CNuvikTarvoApi::SetSarEnable(uint8_t flag) {
    if (!m_pfnSetSarEnable) return -1;
    Log("SetSarEnable", "Set Sar Enable...");
    int result = m_pfnSetSarEnable(g_hDeviceServices, flag);
    Log("SetSarEnable", result != 0 ? "SetSarEnable FAILED: " + std::to_string(result)
                                    : "SetSarEnable to " + std::to_string(flag) + " SUCCESS");
    return result;
}

int CNuvikTarvoApi::GetFileCRC(const uint8_t* data, uint32_t length, uint16_t* crc) {
    if (!m_pfnGetFileCrc) return -1;
    Log("GetFileCRC", "GetFileCRC...");
    int result = CheckableLength("GetFileCRC", length)
                     ? m_pfnGetFileCrc(g_hDeviceServices, data, static_cast<uint16_t>(length), crc)
                     : -1;
    Log("GetFileCRC", result != 0 ? "GetFileCRC FAILED: " + std::to_string(result) : std::string("GetFileCRC SUCCESS"));
    return result;
}

int CNuvikTarvoApi::GetSarTable(uint32_t* index, uint16_t* crc) {
    if (!m_pfnGetSarVersion) return -1;
    Log("GetSarTable", "GetSarTable...");
    int result = m_pfnGetSarVersion(g_hDeviceServices, reinterpret_cast<int32_t*>(index), crc);
    Log("GetSarTable", result != 0 ? "GetSarTable CRC FAILED: " + std::to_string(result)
                                   : std::string("GetSarTable CRC SUCCESS"));
    return result;
}

int CNuvikTarvoApi::SetSarTable(uint16_t index, uint16_t crc) {
    if (!m_pfnSetSarVersion) return -1;
    Log("SetSarTable", "SetSarTable...");
    int result = m_pfnSetSarVersion(g_hDeviceServices, index, crc);
    Log("SetSarTable", result != 0 ? "SetSarTable CRC FAILED: " + std::to_string(result)
                                   : std::string("SetSarTable CRC SUCCESS"));
    return result;
}

int CNuvikTarvoApi::GetSarValue(uint8_t** data, int32_t* length) {
    if (!m_pfnGetSarValue) return -1;
    int result = m_pfnGetSarValue(g_hDeviceServices, data, length);
    Log("GetSarValue", result != 0 ? "GetSarValue FAILED, reture = " + std::to_string(result)
                                   : std::string("GetSarValue SUCCESS"));
    return result;
}

int CNuvikTarvoApi::SetSarValue(const uint8_t* data, uint32_t length) {
    if (!m_pfnSetSarValue) return -1;
    int result = m_pfnSetSarValue(g_hDeviceServices, data, static_cast<int32_t>(length));
    Log("SetSarValue", result != 0 ? "SetSarValue (write EFSFile) FAILED, reture = " + std::to_string(result)
                                   : std::string("SetSarValue (write EFSFile) SUCCESS"));
    return result;
}

int CNuvikTarvoApi::IsWrite(const uint8_t* a, uint32_t lengthA, const uint8_t* b, uint32_t lengthB, uint8_t* equal) {
    if (!m_pfnIsWrite) return -1;
    int result = CheckableLength("IsWrite", lengthA) && CheckableLength("IsWrite", lengthB)
                     ? m_pfnIsWrite(g_hDeviceServices, a, static_cast<uint16_t>(lengthA), b,
                                    static_cast<uint16_t>(lengthB), equal)
                     : -1;
    Log("IsWrite", result != 0 ? "IsWrite FAILED" : "IsWrite SUCCESS");
    return result;
}

int CNuvikTarvoApi::ModuleReboot() {
    if (!m_pfnSetDeviceRoot) return -1;
    Log("ModuleReboot", "==> Module rebooting...");
    int result = m_pfnSetDeviceRoot(g_hDeviceServices);
    Log("ModuleReboot", result != 0 ? "Kessa_SetDeviceRoot API return: " + std::to_string(result)
                                    : std::string("Kessa_SetDeviceRoot API return SUCCESS!"));
    return result;
}

int CNuvikTarvoApi::GetSarLevel(uint32_t* index) {
    if (!m_pfnGetSarIndex) return -1;
    Log("GetSarLevel", "Get Sar Level(Index)...");
    int result = m_pfnGetSarIndex(g_hDeviceServices, reinterpret_cast<int32_t*>(index));
    Log("GetSarLevel", result != 0 ? "GetSarLevel (Index) FAILED: " + std::to_string(result)
                                   : "GetSarLevel (Index): " + std::to_string(index ? *index : 0) + " SUCCESS");
    return result;
}

int CNuvikTarvoApi::SetSarLevel(uint32_t index) {
    if (!m_pfnSetSarIndex) return -1;
    Log("SetSarLevel", "Set Sar Level(Index) to " + std::to_string(index));
    int result = m_pfnSetSarIndex(g_hDeviceServices, static_cast<int32_t>(index));
    Log("SetSarLevel", result != 0 ? "SetSarLevel (index)l FAILED: " + std::to_string(result)
                                   : "SetSarLevel (index) to " + std::to_string(index) + " SUCCESS");
    return result;
}

// The context is closed while the library is still initialised (an uninitialised
// library refuses the close and would keep the context and its buffers), and the
// handle is forgotten so that no later call passes a freed context.
int CNuvikTarvoApi::CloseMBIMPorts() {
    if (!m_pfnUnInit || !m_pfnCloseDeviceServices) return -1;
    Log("CloseMBIMPorts", "Closing MBIM Ports...");
    int result = m_pfnCloseDeviceServices(g_hDeviceServices);
    if (result == 0) g_hDeviceServices = nullptr;
    Log("CloseMBIMPorts", "DeInitializing MBIM Ports...");
    m_pfnUnInit();
    Log("CloseMBIMPorts", result != 0 ? "MBIM Ports Close FAILED. Result Code: " + std::to_string(result)
                                      : std::string("MBIM Ports Close SUCCESS"));
    return result;
}

bool CNuvikTarvoApi::IsLoaded() { return m_hModule != nullptr; }

void CNuvikTarvoApi::IsFwUpdateRunning(uint8_t* running) {
    HANDLE event = ::OpenEventA(SYNCHRONIZE, FALSE, kFirmwareUpdateEvent);
    if (event) {
        ::CloseHandle(event);
        if (running) *running = 1;
    } else if (running) {
        *running = 0;
    }
}
