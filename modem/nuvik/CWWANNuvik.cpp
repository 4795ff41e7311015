#include "CWWANNuvik.h"

#include "AdapterList.h"
#include "CClock.h"
#include "CNuvikTarvoApi.h"
#include "Handles.h"
#include "Logger.h"
#include "MBSar.h"
#include "PlatformFlags.h"

#include <cstdio>
#include <vector>

namespace {
const char kFirmwareUpdateEvent[] = "Global\\{82F34418-8931-43E4-AF1D-CF59E4EFA80C}";
const uint32_t kWantedSarIndex = 2;
const int kKessaAlreadyInitialised = 1;
const int kMbimReadyPasses = 5;
const DWORD kMbimReadySleepMs = 5000;
const DWORD kFwUpdateWaitMs = 300000;
const int kRebootPollPasses = 50;
const DWORD kRebootPollSleepMs = 1000;
const DWORD kRebootSettleMs = 5000;

void Log(const char* method, const std::string& text, int level) {
    LogWrite(std::string("CWWANNuvik::") + method, text, level);
}

std::string Bracketed(const char* label, unsigned value) { return label + std::to_string(value) + "]"; }

// The whole SAR EFS file; an empty string when it is read, else why it could not be.
// An empty file counts as unreadable: there is no table in it to give the module.
std::string ReadEfsFile(const char* path, std::vector<uint8_t>& bytes) {
    FILE* file = std::fopen(path, "rb");
    if (!file) return "cannot be opened";
    std::string problem;
    long size = std::fseek(file, 0, SEEK_END) == 0 ? std::ftell(file) : -1;
    if (size < 0 || std::fseek(file, 0, SEEK_SET) != 0) {
        problem = "cannot be read";
    } else if (size == 0) {
        problem = "is empty";
    } else {
        bytes.resize(static_cast<size_t>(size));
        if (std::fread(bytes.data(), 1, bytes.size(), file) != bytes.size()) problem = "cannot be read";
    }
    std::fclose(file);
    return problem;
}
}  // namespace

CWWANNuvik::CWWANNuvik(std::wstring modelName)
    : m_strModelName(std::move(modelName)),
      m_wFileCrc(1),
      m_wModuleCrc(1),
      m_dwModuleSarIndex(99),
      m_bMbimReady(0),
      m_bRebootNeeded(0),
      m_bWriteUnverified(0) {}

CWWANNuvik::~CWWANNuvik() = default;

int CWWANNuvik::Initialize() {
    int result = 1;
    do {
        if (GetUUID() != 0) {
            result = 0;
            break;
        }
        CNuvikTarvoApi* api = CNuvikTarvoApi::GetInstance();
        if (!api) {
            result = 0;
            break;
        }
        // A later try finds the library initialised by an earlier one: its
        // session is still open and serves this try too.
        int opened = api->OpenMBIMPorts(m_strUUID);
        if (opened == kKessaAlreadyInitialised) {
            Log("Initialize", "MBIM Ports already open, going on", 1);
        } else if (opened != 0) {
            result = 0;
            break;
        }
        bool ready = false;
        for (int pass = 0; pass < kMbimReadyPasses; ++pass) {
            if (api->CheckMBIM(&m_bMbimReady) != 0) break;
            if (m_bMbimReady) {
                Log("Initialize", "MBIM is ready!", 1);
                ready = true;
                break;
            }
            Log("Initialize", "Wait 5s for MBIM ready...", 1);
            if (!CClock::SleepUnlessStopped(kMbimReadySleepMs)) {
                Log("Initialize", "Stop requested, MBIM ready wait ended", 1);
                break;
            }
        }
        if (!ready) {
            result = 0;
            break;
        }
        // Each device-services context holds 20 MiB in the library: an earlier
        // try's context is kept rather than opening one more per try.
        if (g_hDeviceServices) {
            Log("Initialize", "Device service already open, going on", 1);
        } else if (api->OpenDeviceSvc() != 0) {
            result = 0;
            break;
        }
        uint8_t enabled = 1;
        if (api->GetSarEnable(&enabled) != 0 || (enabled == 0 && api->SetSarEnable(1) != 0)) {
            result = 0;
            break;
        }
        if (SetSarValueSetting() == -1) {
            Log("Initialize", "SetSarValueSetting() returned fail <ERROR>", 1);
            result = 0;
            break;
        }
        if (m_bRebootNeeded == 1) {
            // The file is in the module and verified: a later start finds the
            // table in line and writes nothing, whether the reboot ran to its end or not.
            const int rebooted = DoModuleReboot();
            // Whatever the module held before, the reboot may have reset it, and
            // its arrival came before anything listens for one: the first
            // decision after the start-up is sent whatever the memory said.
            MBSar::ForgetTarvoState();
            if (rebooted == -1) {
                if (CClock::IsStopRequested())
                    result = 0;  // the reboot's waits were cut short by the stop: start-up not complete
                else
                    Log("Initialize", "ModuleReboot() returned fail <ERROR>", 1);
            }
            m_bRebootNeeded = 0;
        }
    } while (false);
    Log("Initialize", "Nuvik Tarvo initialization completed!Restult = " + std::to_string(result), 1);
    Log("Initialize", " ", 1);
    Log("Initialize", " ", 1);
    return result;
}

int CWWANNuvik::GetUUID() {
    ULONG size = 0;
    TarvoGetAdaptersAddresses(AF_UNSPEC, 0, nullptr, &size);
    std::vector<uint8_t> buffer;
    try {
        buffer.resize(size ? size : 1);
    } catch (const std::bad_alloc&) {
        Log("GetUUID", "pAddresses is NULL", 0);
        return -1;
    }
    auto* addresses = reinterpret_cast<PIP_ADAPTER_ADDRESSES>(buffer.data());
    if (TarvoGetAdaptersAddresses(AF_INET, GAA_FLAG_SKIP_MULTICAST, addresses, &size) != NO_ERROR) {
        Log("GetUUID", "Get WWAN uuid failed <ERROR>", 0);
        return -1;
    }
    for (PIP_ADAPTER_ADDRESSES adapter = addresses; adapter; adapter = adapter->Next) {
        if (adapter->IfType == IF_TYPE_WWANPP) {
            m_strUUID = adapter->AdapterName ? adapter->AdapterName : "";
            break;
        }
    }
    char line[MAX_PATH];
    std::snprintf(line, sizeof(line), "uuid is ==> %s", m_strUUID.c_str());
    Log("GetUUID", line, 0);
    return 0;
}

int CWWANNuvik::SetSarValueSetting() {
    CNuvikTarvoApi* api = CNuvikTarvoApi::GetInstance();
    if (!api) return -1;
    const char* path = ".//SAREFS_HX730R_Lumo";
    if (g_bLumoPlatform) {
        Log("SetSarValueSetting", "SAR table using SAREFS_HX730R_Lumo file!", 0);
    } else if (g_bDovraPlatform) {
        path = ".//SAREFS_HX730R_Dovra";
        Log("SetSarValueSetting", "SAR table using SAREFS_HX730R_Dovra file!", 0);
    } else {
        Log("SetSarValueSetting", "SAR table using SAREFS_HX730R_Lumo file!", 0);
    }

    std::vector<uint8_t> file;
    std::string problem = ReadEfsFile(path, file);
    if (!problem.empty()) {
        Log("SetSarValueSetting", std::string("SAR EFS file ") + path + " " + problem + " <ERROR>", 2);
        return -1;
    }
    const uint32_t fileSize = static_cast<uint32_t>(file.size());
    if (api->GetFileCRC(file.data(), fileSize, &m_wFileCrc) != 0) return -1;
    Log("SetSarValueSetting", Bracketed("EFSFile CRC = [", m_wFileCrc), 0);
    if (api->GetSarTable(&m_dwModuleSarIndex, &m_wModuleCrc) != 0) return -1;
    Log("SetSarValueSetting", Bracketed("GetSarTable index = [", m_dwModuleSarIndex), 0);
    Log("SetSarValueSetting", Bracketed("EFSFile CRC is   [", m_wFileCrc), 0);
    Log("SetSarValueSetting", Bracketed("SarTable CRC is [", m_wModuleCrc), 0);

    bool write = false;
    if (m_dwModuleSarIndex != kWantedSarIndex) {
        Log("SetSarValueSetting", "SAR Index for Lumo platform is not correct, must set Index again!", 1);
        write = true;
    }
    if (m_wFileCrc == m_wModuleCrc) {
        Log("SetSarValueSetting", "CRC are the same!", 1);
    } else {
        Log("SetSarValueSetting", "CRC are NOT the same! Need to write EFSFile into module!", 1);
        write = true;
    }
    if (m_bWriteUnverified) {
        Log("SetSarValueSetting", "EFSFile written before was not verified, must write it again!", 1);
        write = true;
    }
    if (!write) return 0;

    m_bWriteUnverified = 1;
    if (api->SetSarValue(file.data(), fileSize) != 0) return -1;
    m_dwModuleSarIndex = kWantedSarIndex;
    if (api->SetSarTable(static_cast<uint16_t>(m_dwModuleSarIndex), m_wFileCrc) != 0) return -1;
    Log("SetSarValueSetting", Bracketed("Set index to [", m_dwModuleSarIndex), 0);
    Log("SetSarValueSetting", Bracketed("Set crc to\t   [", m_wFileCrc), 0);
    if (api->GetSarTable(&m_dwModuleSarIndex, &m_wModuleCrc) != 0) return -1;
    Log("SetSarValueSetting", Bracketed("Get index = [", m_dwModuleSarIndex), 0);
    Log("SetSarValueSetting", Bracketed("Get crc =\t  [", m_wModuleCrc), 0);

    uint8_t* moduleData = nullptr;
    int32_t moduleLength = 0;
    if (api->GetSarValue(&moduleData, &moduleLength) != 0) return -1;
    uint8_t equal = 0;
    if (api->IsWrite(file.data(), fileSize, moduleData, static_cast<uint32_t>(moduleLength < 0 ? 0 : moduleLength),
                     &equal) != 0)
        return -1;
    if (equal != 1) {
        Log("SetSarValueSetting",
            "EFSFile and SAR table in module are NOT the same! Write EFSFile failed!is_success = " +
                std::to_string(equal),
            0);
        return -1;
    }
    Log("SetSarValueSetting", "EFSFile has written to module correctly!", 0);
    m_bWriteUnverified = 0;
    m_bRebootNeeded = 1;
    return 0;
}

int CWWANNuvik::DoModuleReboot() {
    CNuvikTarvoApi* api = CNuvikTarvoApi::GetInstance();
    if (!api) return -1;
    uint8_t updating = 0;
    api->IsFwUpdateRunning(&updating);
    if (updating == 1) {
        Log("DoModuleReboot", "Module is doing FW update/switch, wait 5 minutes!", 0);
        if (!CClock::SleepUnlessStopped(kFwUpdateWaitMs)) {
            Log("DoModuleReboot", "Stop requested, FW update wait ended, module not rebooted", 0);
            return -1;
        }
    }

    // While this event exists, everyone sees the module as being updated or rebooted.
    SECURITY_DESCRIPTOR descriptor;
    ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    ::SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), &descriptor, FALSE};
    CUniqueHandle event(::CreateEventA(&attributes, FALSE, FALSE, kFirmwareUpdateEvent));

    api->ModuleReboot();

    int result = 0;
    uint8_t previousReady = 1;
    bool rebooted = false;
    bool stopped = false;
    for (int pass = 1; pass <= kRebootPollPasses && !rebooted; ++pass) {
        if (!CClock::SleepUnlessStopped(kRebootPollSleepMs)) {
            Log("DoModuleReboot", "Stop requested, wait for the module's reboot ended", 0);
            result = -1;
            stopped = true;
            break;
        }
        Log("DoModuleReboot", Bracketed("Wait MBIM ready ... [", static_cast<unsigned>(pass)), 0);
        if (api->CheckMBIM(&m_bMbimReady) != 0) {
            Log("DoModuleReboot", "CheckMBIM API fail.", 0);
            result = -1;
            continue;
        }
        if (previousReady && !m_bMbimReady) {
            Log("DoModuleReboot", "==> Module now is rebooting!", 0);
        } else if (!previousReady && m_bMbimReady) {
            Log("DoModuleReboot", "==> Module reboot successfully!!", 0);
            result = 0;
            rebooted = true;
        }
        previousReady = m_bMbimReady;
    }
    if (!stopped) {
        if (!rebooted) {
            Log("DoModuleReboot", "Module failed to reboot! <ERROR>", 0);
            result = -1;
        }
        if (!CClock::SleepUnlessStopped(kRebootSettleMs)) {
            Log("DoModuleReboot", "Stop requested, wait after the reboot ended", 0);
            result = -1;
        }
    }
    if (event.Reset()) Log("DoModuleReboot", "Close Event Handle succeeded!", 0);
    return result;
}

int CWWANNuvik::GetHardwareRadioState() { return 0; }
std::string CWWANNuvik::GetCountryCode() { return std::string(); }
int CWWANNuvik::IsReady() { return 1; }
int CWWANNuvik::Reserved6(uint32_t) { return 0; }
int CWWANNuvik::Reserved7() { return 0; }
int CWWANNuvik::Reserved8() { return 0; }
int CWWANNuvik::Reserved9() { return 0; }
std::wstring CWWANNuvik::GetModelName() { return m_strModelName; }

int CWWANNuvik::RunTarvoHandler(uint8_t state) {
    return RunTarvoCommand("CWWANNuvik::RunTarvoHandler", state, {1, 0, 2}, {0, 0, 1});
}
