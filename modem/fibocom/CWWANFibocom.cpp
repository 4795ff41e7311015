#include "CWWANFibocom.h"

#include "CClock.h"
#include "CFiboTarvoApi.h"
#include "Handles.h"
#include "Logger.h"

#include <exception>

namespace {
const char kWwanKey[] = "SYSTEM\\CurrentControlSet\\Services\\TARVOSVC\\Parameters\\WWAN";
// An IMEI is 15 digits; a stored value far beyond that is not one of ours.
const DWORD kMaxStoredImeiBytes = 1024;
}  // namespace

CWWANFibocom::CWWANFibocom(std::wstring modelName) : m_strModelName(std::move(modelName)) {}

CWWANFibocom::~CWWANFibocom() = default;

int CWWANFibocom::Initialize() {
    const char* fn = "CWWANFibocom::Initialize";
    CFiboTarvoApi* api = CFiboTarvoApi::GetInstance();
    if (api == nullptr) {
        LogWrite(fn, "Fibocom library binding not available", 2);
        return 0;
    }
    if (api->CheckMBIM() != FIBO_RESULT_SUCCESS) return 0;

    api->SetBodySarEn();
    int mode = 0;
    api->GetBodySarMode(&mode);
    if (mode == 0 && api->SetBodySarMode(1) == FIBO_RESULT_SUCCESS) LogWrite(fn, "BodySarMode: SW Control", 1);

    if (!IsImeiUnchanged()) WriteImeiInfo();

    // Table mode 2 is the only one the service writes.
    const bool l850 = m_strModelName == L"Fibocom L850-GL";
    for (int rewrites = 0;; ++rewrites) {
        int correct = l850 ? api->IsSarTableCorrectL850(2) : api->IsSarTableCorrect(2);
        if (correct == 1) break;
        if (rewrites >= kMaxTableRewrites) {
            LogWrite(fn, "SAR Table still not correct after " + std::to_string(kMaxTableRewrites) + " rewrites", 2);
            return 0;
        }
        if (l850) {
            LogWrite(fn, "L850 SAR Table is not correct. Initializing values.", 1);
            api->SetSarTableL850(2);
        } else {
            LogWrite(fn, "SAR Table is not correct. Initializing values.", 1);
            api->SetSarTable(2);
        }
        // After a stop the rewrite wrote nothing or ran to its end: no next pass.
        if (CClock::IsStopRequested()) return 0;
    }

    char text[FIBO_TEXT_SIZE] = {};
    api->GetBOdySarVal(text);
    LogWrite(fn, "\n" + std::string(text) + "\n", 1);
    return 1;
}

int CWWANFibocom::GetHardwareRadioState() { return 0; }

std::string CWWANFibocom::GetCountryCode() { return std::string(); }

int CWWANFibocom::IsReady() { return 1; }

int CWWANFibocom::RunTarvoHandler(uint8_t state) {
    return RunTarvoCommand("CWWANFibocom::RunTarvoHandler", state, TarvoArgs{1, 0, 1}, TarvoArgs{0, 0, 0});
}

int CWWANFibocom::Reserved6(uint32_t value) { return 0; }

int CWWANFibocom::Reserved7() { return 0; }

int CWWANFibocom::Reserved8() { return 0; }

int CWWANFibocom::Reserved9() { return 0; }

std::wstring CWWANFibocom::GetModelName() { return m_strModelName; }

// An empty IMEI from the modem says nothing about a change, so it counts as
// unchanged. The stored text ends at its first NUL (the registry's terminator).
bool CWWANFibocom::IsImeiUnchanged() {
    CFiboTarvoApi* api = CFiboTarvoApi::GetInstance();
    std::string modem = api != nullptr ? api->GetImeiInformation() : std::string();
    std::string stored = ReadImeiInfo();
    if (modem.empty()) return true;
    size_t end = stored.find('\0');
    if (end != std::string::npos) stored.resize(end);
    return stored == modem;
}

std::string CWWANFibocom::ReadImeiInfo() {
    std::string imei;
    CUniqueHKey key;
    try {
        if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kWwanKey, 0, KEY_READ, key.Put()) != ERROR_SUCCESS) return imei;
        DWORD size = kMaxStoredImeiBytes;
        if (::RegGetValueA(key.Get(), nullptr, "IMEI", RRF_RT_REG_SZ, nullptr, nullptr, &size) == ERROR_SUCCESS &&
            size <= kMaxStoredImeiBytes) {
            imei.assign(size, '\0');
            // A value that changed in between fails here and leaves the text empty.
            ::RegGetValueA(key.Get(), nullptr, "IMEI", RRF_RT_REG_SZ, nullptr, &imei[0], &size);
        }
    } catch (const std::exception& e) {
        LogWrite("CWWANFibocom::ReadImeiInfo", e.what(), 2);
    }
    return imei;
}

void CWWANFibocom::WriteImeiInfo() {
    const char* fn = "CWWANFibocom::WriteImeiInfo";
    CUniqueHKey key;
    try {
        CFiboTarvoApi* api = CFiboTarvoApi::GetInstance();
        std::string imei = api != nullptr ? api->GetImeiInformation() : std::string();
        // A read that fails now must not wipe the IMEI stored before.
        if (imei.empty()) {
            LogWrite(fn, "No IMEI read from the modem; stored IMEI kept", 2);
            return;
        }
        if (::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kWwanKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_WRITE | KEY_WOW64_64KEY, nullptr, key.Put(), nullptr) != ERROR_SUCCESS) {
            LogWrite(fn, "RegCreateEx fail: ", 2);
            return;
        }
        if (::RegSetValueExA(key.Get(), "IMEI", 0, REG_SZ, reinterpret_cast<const BYTE*>(imei.c_str()),
                             static_cast<DWORD>(imei.size() + 1)) != ERROR_SUCCESS)
            LogWrite(fn, "IMEI write registry fail", 2);
        else
            LogWrite(fn, "IMEI write registry success", 1);
    } catch (const std::exception& e) {
        LogWrite(fn, e.what(), 2);
    }
}
