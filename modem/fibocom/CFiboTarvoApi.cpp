#include "CFiboTarvoApi.h"

#include "CClock.h"
#include "CCreationLock.h"
#include "Handles.h"
#include "Logger.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <type_traits>
#include <vector>

std::atomic<CFiboTarvoApi*> CFiboTarvoApi::s_pInstance{nullptr};
HANDLE CFiboTarvoApi::s_hApiMutex = nullptr;

CFiboTarvoApi* CFiboTarvoApi::GetInstance() {
    if (CFiboTarvoApi* instance = s_pInstance.load()) return instance;
    static CCreationLock s_creation("FiboTarvoApiCreateMutex");
    CCreationLock::CScope creating(s_creation);
    if (!creating.Describe().empty()) LogWrite("CFiboTarvoApi::GetInstance", creating.Describe(), 1);
    // Only a stop keeps the binding from being made: the caller's start-up ends with it.
    if (!creating.MayCreate()) return s_pInstance.load();
    if (s_pInstance.load() == nullptr) {
        // Out of memory: no binding now; the next caller tries again.
        CFiboTarvoApi* created = new (std::nothrow) CFiboTarvoApi();
        if (created == nullptr) {
            LogWrite("CFiboTarvoApi::GetInstance", "Fibocom Instance allocation failed", 2);
            return nullptr;
        }
        s_pInstance.store(created);
        LogWrite("CFiboTarvoApi::GetInstance", "New Fibocom Instance", 1);
    }
    return s_pInstance.load();
}

CFiboTarvoApi::CFiboTarvoApi() {
    const char* fn = "CFiboTarvoApi::CFiboTarvoApi";
    if (s_hApiMutex == nullptr) s_hApiMutex = CreateOrOpenNamedMutex("FiboTarvoApiMutex");
    m_hModule = ::LoadLibraryExA("fiboTarvoApi.dll", nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    if (m_hModule == nullptr) {
        DWORD error = ::GetLastError();
        if (error == ERROR_MOD_NOT_FOUND)
            LogWrite(fn, "FiboTarvoApi.dll NOT FOUND", 1);
        else
            LogWrite(fn, "Failed to load FiboTarvoApi.dll error: " + std::to_string(static_cast<int>(error)), 1);
        return;
    }
    if (Init() == 0) LogWrite(fn, "Init fail", 1);
}

CFiboTarvoApi::~CFiboTarvoApi() {
    if (s_hApiMutex != nullptr) {
        ::CloseHandle(s_hApiMutex);
        s_hApiMutex = nullptr;
    }
    if (m_hModule != nullptr) ::FreeLibrary(m_hModule);
}

int CFiboTarvoApi::Init() {
    int misses = 0;
    auto bind = [this, &misses](auto& slot, const char* name, const char* missingMessage) {
        using Fn = std::remove_reference_t<decltype(slot)>;
        slot = reinterpret_cast<Fn>(::GetProcAddress(m_hModule, name));
        if (slot == nullptr) {
            LogWrite("CFiboTarvoApi::Init", missingMessage, 1);
            ++misses;
        }
    };
    bind(m_pGetIsMBIMReady, "get_IsMBIMReady", "IsMBIMReady address not loaded");
    bind(m_pSetBodySarEnable, "set_BodySarEnable", "setBodySarEn address not loaded");
    bind(m_pGetBodySarEnable, "get_BodySarEnable", "getbodysaren address not loaded");
    bind(m_pSetBodySarMode, "set_BodySarMode", "setbodysarmode address not loaded");
    bind(m_pGetBodySarMode, "get_BodySarMode", "getbodysarmode address not loaded");
    bind(m_pSetBodySarProfile, "set_BodySarProfile", "setbodysarprof address not loaded");
    bind(m_pGetBodySarProfile, "get_BodySarProfile", "getbodysarprof address not loaded");
    bind(m_pSetBodySarValue, "set_BodySarValue", "setbodysarvalue address not loaded");
    bind(m_pGetBodySarValue, "get_BodySarValue", "getbodysarval address not loaded");
    bind(m_pSetBodySarON, "set_BodySarON", "setbodySarOn address not loaded");
    bind(m_pGetBodySarON, "get_BodySarON", "getbodysaron address not loaded");
    bind(m_pSetBodySarClear, "set_BodySarClear", "setbodysarclear address not loaded");
    bind(m_pGetImeiInfo, "get_ImeiInfo", "getimeiinfo address not loaded");
    if (misses != 0) return 0;
    LogWrite("CFiboTarvoApi::Init", "fibo proc initialized", 1);
    return 1;
}

int CFiboTarvoApi::IsLoaded() { return m_hModule != nullptr ? 1 : 0; }

int CFiboTarvoApi::Checked(const char* functionName, int result) {
    if (result != FIBO_RESULT_SUCCESS) LogWrite(functionName, GetResultText(result), 1);
    return result;
}

int CFiboTarvoApi::CheckMBIM() {
    const char* fn = "CFiboTarvoApi::CheckMBIM";
    IntOutFn isReady =
        m_hModule != nullptr ? reinterpret_cast<IntOutFn>(::GetProcAddress(m_hModule, "get_IsMBIMReady")) : nullptr;
    // Without the library nothing can be checked or written: not ready, so that
    // Initialize fails and the worker's retries decide.
    if (isReady == nullptr) return Checked(fn, FIBO_RESULT_LIB_NULL);
    int ready = 0;
    for (int poll = 1;; ++poll) {
        int result = isReady(&ready);
        if (result != FIBO_RESULT_SUCCESS) return Checked(fn, result);
        if (ready != 0) return FIBO_RESULT_SUCCESS;
        if (poll >= kMbimPolls) {
            LogWrite(fn, "MBIM not ready after " + std::to_string(kMbimPolls) + " polls", 2);
            return FIBO_RESULT_MBIM_NOT_READY;
        }
        if (!CClock::SleepUnlessStopped(kMbimPollPauseMs)) {
            LogWrite(fn, "Stop requested, MBIM ready wait ended", 1);
            return FIBO_RESULT_STOPPED;
        }
    }
}

int CFiboTarvoApi::GetIsMBIMReady() {
    int ready = 0;
    Checked("CFiboTarvoApi::GetIsMBIMReady", m_pGetIsMBIMReady ? m_pGetIsMBIMReady(&ready) : FIBO_RESULT_LIB_NULL);
    return ready;
}

int CFiboTarvoApi::SetBodySarEn() {
    const char* fn = "CFiboTarvoApi::SetBodySarEn";
    int result = m_pSetBodySarEnable ? m_pSetBodySarEnable(1) : FIBO_RESULT_LIB_NULL;
    if (result == FIBO_RESULT_SUCCESS) LogWrite(fn, "BODYSAR feature enabled", 1);
    return Checked(fn, result);
}

int CFiboTarvoApi::GetBodySarEn() {
    int enabled = 0;
    Checked("CFiboTarvoApi::GetBodySarEn", m_pGetBodySarEnable ? m_pGetBodySarEnable(&enabled) : FIBO_RESULT_LIB_NULL);
    return enabled;
}

int CFiboTarvoApi::SetBodySarMode(int mode) {
    return Checked("CFiboTarvoApi::SetBodySarMode", m_pSetBodySarMode ? m_pSetBodySarMode(mode) : FIBO_RESULT_LIB_NULL);
}

int CFiboTarvoApi::GetBodySarMode(int* mode) {
    const char* fn = "CFiboTarvoApi::GetBodySarMode";
    if (mode == nullptr) return Checked(fn, FIBO_RESULT_INVALID);
    return Checked(fn, m_pGetBodySarMode ? m_pGetBodySarMode(mode) : FIBO_RESULT_LIB_NULL);
}

int CFiboTarvoApi::SetBodySarProf(int profile) {
    return Checked("CFiboTarvoApi::SetBodySarProf",
                   m_pSetBodySarProfile ? m_pSetBodySarProfile(profile) : FIBO_RESULT_LIB_NULL);
}

int CFiboTarvoApi::GetBodySarProf(int* profile) {
    const char* fn = "CFiboTarvoApi::GetBodySarProf";
    if (profile == nullptr) return Checked(fn, FIBO_RESULT_INVALID);
    return Checked(fn, m_pGetBodySarProfile ? m_pGetBodySarProfile(profile) : FIBO_RESULT_LIB_NULL);
}

int CFiboTarvoApi::SetBodySarVal(char (&line)[FIBO_TEXT_SIZE]) {
    line[FIBO_TEXT_SIZE - 1] = '\0';
    return Checked("CFiboTarvoApi::SetBodySarVal", m_pSetBodySarValue ? m_pSetBodySarValue(line) : FIBO_RESULT_LIB_NULL);
}

int CFiboTarvoApi::GetBOdySarVal(char (&text)[FIBO_TEXT_SIZE]) {
    int result = m_pGetBodySarValue ? m_pGetBodySarValue(text) : FIBO_RESULT_LIB_NULL;
    // A library that fills the whole buffer leaves no terminator of its own.
    text[FIBO_TEXT_SIZE - 1] = '\0';
    return Checked("CFiboTarvoApi::GetBOdySarVal", result);
}

int CFiboTarvoApi::SetBodySarOn(int value) {
    return Checked("CFiboTarvoApi::SetBodySarOn", m_pSetBodySarON ? m_pSetBodySarON(value) : FIBO_RESULT_LIB_NULL);
}

int CFiboTarvoApi::GetBodySarOn(int* value) {
    const char* fn = "CFiboTarvoApi::GetBodySarOn";
    if (value == nullptr) return Checked(fn, FIBO_RESULT_INVALID);
    return Checked(fn, m_pGetBodySarON ? m_pGetBodySarON(value) : FIBO_RESULT_LIB_NULL);
}

int CFiboTarvoApi::SetBodySarClear() {
    const char* fn = "CFiboTarvoApi::SetBodySarClear";
    int result = m_pSetBodySarClear ? m_pSetBodySarClear() : FIBO_RESULT_LIB_NULL;
    if (result == FIBO_RESULT_SUCCESS) LogWrite(fn, "Body Sar cleared", 1);
    return Checked(fn, result);
}

std::string CFiboTarvoApi::GetImeiInformation() {
    char imei[FIBO_IMEI_SIZE] = {};
    int result = m_pGetImeiInfo ? m_pGetImeiInfo(imei) : FIBO_RESULT_LIB_NULL;
    if (Checked("CFiboTarvoApi::GetImeiInformation", result) != FIBO_RESULT_SUCCESS) return std::string();
    // At most 15 characters: the last byte is the terminator even when the library wrote it.
    imei[FIBO_IMEI_SIZE - 1] = '\0';
    return std::string(imei);
}

std::string CFiboTarvoApi::GetResultText(int code) {
    switch (code) {
    case FIBO_RESULT_SUCCESS: return "FIBO Command SUCCESS";
    case FIBO_RESULT_LIB_NULL: return "MBIM tunnel lib is NULL";
    case FIBO_RESULT_LIB_CANNOT_OPEN: return "MBIM tunnel lib cannot open";
    case FIBO_RESULT_SEND_FAIL: return "FIBO command send fail";
    case FIBO_RESULT_INVALID: return "FIBO invalid command or response error";
    default: return "FIBO error";
    }
}

int CFiboTarvoApi::IsTableCorrect(const char* functionName, int mode, bool l850, bool logMisses) {
    char text[FIBO_TEXT_SIZE] = {};
    GetBOdySarVal(text);
    FiboSarSet rows;
    if (!FiboSarRowsForMode(mode, l850, rows)) return 1;
    std::vector<std::string> missing = FiboSarMissingRows(text, rows);
    if (logMisses) {
        for (const std::string& row : missing) LogWrite(functionName, "not same config at " + row, 2);
    }
    return missing.empty() ? 1 : 0;
}

int CFiboTarvoApi::IsSarTableCorrect(int mode) {
    return IsTableCorrect("CFiboTarvoApi::IsSarTableCorrect", mode, false, false);
}

int CFiboTarvoApi::IsSarTableCorrectL850(int mode) {
    return IsTableCorrect("CFiboTarvoApi::IsSarTableCorrectL850", mode, true, mode == 2);
}

int CFiboTarvoApi::WriteTable(const char* functionName, int mode, bool l850) {
    LogTraceEnter(functionName);
    LogWrite(functionName, "120s sleep to allow modem initialization", 1);
    const bool waited = CClock::SleepUnlessStopped(kModemStartupSleepMs);
    // The clear loses the modem's table: a stop seen up to here, in the wait or
    // after it, leaves the old one. From the clear on, the write runs to its end.
    if (!waited || CClock::IsStopRequested()) {
        LogWrite(functionName, "Stop requested, modem initialization wait ended, nothing written", 1);
        return 0;
    }
    SetBodySarClear();
    int currentMode = 0;
    GetBodySarMode(&currentMode);
    if (currentMode == 0 && SetBodySarMode(1) == FIBO_RESULT_SUCCESS)
        LogWrite(functionName, "BodySarMode: SW Control", 1);
    if (SetBodySarProf(1) != FIBO_RESULT_SUCCESS) return 0;
    LogWrite(functionName, "BodySarProfile: 1", 1);
    FiboSarSet lines;
    if (FiboSarLinesForMode(mode, l850, lines)) SetSarTableAny(lines.items, static_cast<int>(lines.count));
    // Whether the lines took is for the caller's next verification to tell.
    return 0;
}

int CFiboTarvoApi::SetSarTable(int mode) { return WriteTable("CFiboTarvoApi::SetSarTable", mode, false); }

int CFiboTarvoApi::SetSarTableL850(int mode) { return WriteTable("CFiboTarvoApi::SetSarTableL850", mode, true); }

int CFiboTarvoApi::SetSarTableAny(const std::string* lines, int count) {
    const char* fn = "CFiboTarvoApi::SetSarTableAny";
    if (count > 0 && lines == nullptr) return FIBO_RESULT_INVALID;
    // The lines follow a clear, or replace rows one by one: a write cut short
    // leaves the modem less than a table. The stop waits for the write's end,
    // which its tries bound.
    bool stopTold = false;
    auto pause = [fn, &stopTold](DWORD ms) {
        CClock::Sleep(ms);
        if (!stopTold && CClock::IsStopRequested()) {
            LogWrite(fn, "Stop requested, table write goes on to its end", 1);
            stopTold = true;
        }
    };
    char line[FIBO_TEXT_SIZE] = {};
    pause(kTableWriteSleepMs);
    for (int i = 0; i < count; ++i) {
        std::memset(line, 0, sizeof(line));
        std::memcpy(line, lines[i].data(), std::min(lines[i].size(), FIBO_TEXT_SIZE - 1));
        for (int tries = 1;; ++tries) {
            int result = SetBodySarVal(line);
            LogWrite(fn, line, 1);
            if (result == FIBO_RESULT_SUCCESS) break;
            std::string failure = GetResultText(result) + "Error at SarTab: " + line;
            if (tries >= kLineTries) {
                LogWrite(fn, failure + "Giving up after " + std::to_string(kLineTries) + " tries", 2);
                return result;
            }
            LogWrite(fn, failure + "Retrying...", 1);
            pause(kLineRetryPauseMs);
        }
    }
    LogWrite(fn, "Set Sar table success.", 1);
    return 0;
}
