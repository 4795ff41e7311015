// The process-wide binding of the Fibocom body-SAR library "fiboTarvoApi.dll":
// 13 entry points bound by name, a wrapper for each that logs a failing result
// with its text, and the SAR-table operations built on them.
#pragma once

#include <windows.h>
#include <atomic>
#include <cstddef>
#include <string>

#include "FiboSarTables.h"

enum : int {
    FIBO_RESULT_SUCCESS = 0,
    FIBO_RESULT_LIB_NULL = 1,
    FIBO_RESULT_LIB_CANNOT_OPEN = 2,
    FIBO_RESULT_SEND_FAIL = 3,
    FIBO_RESULT_INVALID = 4,
    // Ours, never the library's: the modem's MBIM interface did not become ready in time.
    FIBO_RESULT_MBIM_NOT_READY = 5,
    // Ours: the service's stop ended a wait before the operation was done.
    FIBO_RESULT_STOPPED = 6,
};

// The library's buffers: table text and command lines, and the IMEI.
constexpr size_t FIBO_TEXT_SIZE = 1024;
constexpr size_t FIBO_IMEI_SIZE = 16;

class CFiboTarvoApi {
public:
    // Bounds of the loops that would otherwise wait on a broken modem for ever.
    static constexpr int kMbimPolls = 30;             // CheckMBIM: polls before it gives up
    static constexpr DWORD kMbimPollPauseMs = 1000;   // between two polls that read "not ready"
    static constexpr int kLineTries = 5;              // SetSarTableAny: sends of one line
    static constexpr DWORD kLineRetryPauseMs = 1000;  // between two sends of a failing line
    static constexpr DWORD kModemStartupSleepMs = 120000;
    static constexpr DWORD kTableWriteSleepMs = 1000;

    // The binding, created once on first use (CCreationLock: under
    // "FiboTarvoApiCreateMutex" when it can be had, else without it); null
    // when the calling thread's stop came first or the binding cannot be allocated.
    static CFiboTarvoApi* GetInstance();

    // Loads and binds the library. Public so that a test can build a binding
    // of its own against a library variant; the service uses GetInstance.
    CFiboTarvoApi();
    ~CFiboTarvoApi();
    CFiboTarvoApi(const CFiboTarvoApi&) = delete;
    CFiboTarvoApi& operator=(const CFiboTarvoApi&) = delete;

    int Init();
    int IsLoaded();
    // 0 once the modem's MBIM interface is ready, else a nonzero result code
    // (FIBO_RESULT_STOPPED when the stop ended the polls).
    int CheckMBIM();

    // One wrapper per entry point. A nonzero result is logged with its text; an
    // entry point that is not bound gives FIBO_RESULT_LIB_NULL (or value 0).
    int GetIsMBIMReady();
    int SetBodySarEn();
    int GetBodySarEn();
    int SetBodySarMode(int mode);
    int GetBodySarMode(int* mode);
    int SetBodySarProf(int profile);
    int GetBodySarProf(int* profile);
    // The library may read the whole line buffer, so the line comes in one.
    int SetBodySarVal(char (&line)[FIBO_TEXT_SIZE]);
    // The text is NUL-terminated within the buffer whatever the library wrote.
    int GetBOdySarVal(char (&text)[FIBO_TEXT_SIZE]);
    int SetBodySarOn(int value);
    int GetBodySarOn(int* value);
    int SetBodySarClear();
    // The modem's IMEI, or an empty string when the library call failed.
    std::string GetImeiInformation();

    static std::string GetResultText(int code);

    // 1 when the modem's table holds every row of the mode's set, else 0; a
    // mode without a set gives 1. The L850 form checks the L850 set for mode 2.
    int IsSarTableCorrect(int mode);
    int IsSarTableCorrectL850(int mode);
    // Clear the modem's table and write the mode's command lines; 0. A stop
    // before the clear (in the modem's start-up wait or after it) ends it with
    // nothing written; once the table is cleared, the stop no longer cuts it.
    int SetSarTable(int mode);
    int SetSarTableL850(int mode);
    // Sends count lines in order; 0 when all were accepted, else the result of
    // the line that failed kLineTries times (the lines after it are not sent).
    // The stop does not cut it: its pauses run in full.
    int SetSarTableAny(const std::string* lines, int count);

private:
    using IntOutFn = int(WINAPI*)(int*);
    using IntInFn = int(WINAPI*)(int);
    using TextFn = int(WINAPI*)(char*);
    using VoidFn = int(WINAPI*)();

    int IsTableCorrect(const char* functionName, int mode, bool l850, bool logMisses);
    int WriteTable(const char* functionName, int mode, bool l850);
    int Checked(const char* functionName, int result);

    HMODULE m_hModule = nullptr;
    IntOutFn m_pGetIsMBIMReady = nullptr;
    IntInFn m_pSetBodySarEnable = nullptr;
    IntOutFn m_pGetBodySarEnable = nullptr;
    IntInFn m_pSetBodySarMode = nullptr;
    IntOutFn m_pGetBodySarMode = nullptr;
    IntInFn m_pSetBodySarProfile = nullptr;
    IntOutFn m_pGetBodySarProfile = nullptr;
    TextFn m_pSetBodySarValue = nullptr;
    TextFn m_pGetBodySarValue = nullptr;
    IntInFn m_pSetBodySarON = nullptr;
    IntOutFn m_pGetBodySarON = nullptr;
    VoidFn m_pSetBodySarClear = nullptr;
    TextFn m_pGetImeiInfo = nullptr;

    static std::atomic<CFiboTarvoApi*> s_pInstance;
    static HANDLE s_hApiMutex;
};
