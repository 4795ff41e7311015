// Fixtures shared by the Fibocom tests: the simulated library reached in this
// process, a DLL folder added for the length of a test, captured log lines
// and the durations asked of the clock.
#pragma once

#include <windows.h>
#include <functional>
#include <string>
#include <vector>

#include "FiboSimControl.h"

namespace fibotest {

// simbin\fiboTarvoApi.dll, or a variant that lacks one entry point.
std::wstring SimFolder();
std::wstring MissingVariantFolder(const std::string& entryPoint);

// Loads the simulator by its full path: the same module as the one the binding
// loads by name, so the control functions reach the binding's modem.
class CFiboSim {
public:
    explicit CFiboSim(const std::wstring& folder);
    ~CFiboSim();
    CFiboSim(const CFiboSim&) = delete;
    CFiboSim& operator=(const CFiboSim&) = delete;
    bool IsLoaded() const { return m_module != nullptr && Reset != nullptr; }

    std::vector<std::string> AcceptedLines() const;
    std::string TableText() const;
    int Calls(const char* entryPoint) const { return GetCallCount(entryPoint); }

    FiboSim_Reset_t Reset = nullptr;
    FiboSim_SetValue_t SetValue = nullptr;
    FiboSim_GetValue_t GetValue = nullptr;
    FiboSim_SetImei_t SetImei = nullptr;
    FiboSim_SetReportedText_t SetReportedText = nullptr;
    FiboSim_LoadLine_t LoadLine = nullptr;
    FiboSim_GetTableText_t GetTableText = nullptr;
    FiboSim_SetFault_t SetFault = nullptr;
    FiboSim_GetCallCount_t GetCallCount = nullptr;
    FiboSim_GetAcceptedLineCount_t GetAcceptedLineCount = nullptr;
    FiboSim_GetAcceptedLine_t GetAcceptedLine = nullptr;
    FiboSim_SetCallLog_t SetCallLog = nullptr;

private:
    HMODULE m_module = nullptr;
};

// A folder on the search path of LOAD_LIBRARY_SEARCH_DEFAULT_DIRS while it lives.
class CDllFolder {
public:
    explicit CDllFolder(const std::wstring& folder) : m_cookie(::AddDllDirectory(folder.c_str())) {}
    ~CDllFolder() {
        if (m_cookie) ::RemoveDllDirectory(m_cookie);
    }
    CDllFolder(const CDllFolder&) = delete;
    CDllFolder& operator=(const CDllFolder&) = delete;
    bool IsAdded() const { return m_cookie != nullptr; }

private:
    DLL_DIRECTORY_COOKIE m_cookie;
};

// Log lines ("Function\tLEVEL\tmessage") and clock requests, from Start to Stop.
// Start and Stop remove the hooks.
void StartCapture();
void StopCapture();
// Run on the calling thread as a line is written (under the logger's lock) or
// as a wait is asked of the clock, before it begins.
void SetLogHook(std::function<void(const std::string& line)> hook);
void SetClockHook(std::function<void(DWORD ms)> hook);
std::vector<std::string> LogLines();
// Lines of the function whose message is exactly the text.
int CountLogged(const std::string& functionName, const std::string& message);
bool Logged(const std::string& functionName, const std::string& message);
// Lines of the function whose message begins with the prefix.
std::vector<std::string> LoggedWithPrefix(const std::string& functionName, const std::string& prefix);
std::vector<DWORD> ClockRequests();
int CountClockRequests(DWORD ms);

std::vector<std::string> ToVector(const std::string* items, size_t count);
// Rows (one per line) joined as a text the modem could report.
std::string JoinRows(const std::vector<std::string>& rows, const std::string& separator);

}  // namespace fibotest
