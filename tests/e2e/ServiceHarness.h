// Drives the real TARVOSVC.exe as a service in the test prefix: clears what an
// earlier run left, switches the log on, runs the program's command-line
// switches, talks to the Service Control Manager and reads the log file.
#pragma once

#include <windows.h>
#include <string>
#include <vector>

class CServiceHarness {
public:
    // exePath: the TARVOSVC.exe to install (the build's, or a copy in a folder of the test's own).
    explicit CServiceHarness(std::wstring exePath = L"");
    ~CServiceHarness();

    const std::wstring& ExePath() const { return m_exePath; }

    // Registers the simulated modem's COM server, stops and deletes a TARVOSVC
    // service left by an earlier run, removes the log file and the tag file,
    // and writes the Debug switches ("Log", "Trace",
    // and the clock divisor that runs the service's long waits fast).
    void Prepare(DWORD clockDivisor = 1000);
    void WriteDebugSwitches(DWORD clockDivisor);

    // Runs the program with one argument (none when empty) and returns its exit code.
    int Run(const std::wstring& argument, DWORD timeoutMs = 60000);

    bool Installed();
    bool Start();
    // Current state, or 0 when the service does not exist.
    DWORD State();
    bool WaitForState(DWORD state, DWORD timeoutMs);
    bool StopAndWait(DWORD timeoutMs = 20000);
    // Sends the stop and polls the service until it is stopped or the time-out
    // passes: every status it reported meanwhile (each change of state or check
    // point), the stop control's answer first. Empty when the service does not open.
    std::vector<SERVICE_STATUS> StopAndWatch(DWORD timeoutMs);
    void Remove();

    static std::string ReadLog();
    static bool LogHas(const std::string& text);
    static size_t LogCount(const std::string& text);
    // Waits until the log holds text (at least count times).
    static bool WaitForLog(const std::string& text, DWORD timeoutMs, size_t count = 1);
    static void ClearLog();
    // The log's last lines, for a failure's message.
    static std::string LogTail(size_t lines = 40);

    static const char* ServiceKey() { return "SYSTEM\\CurrentControlSet\\Services\\TARVOSVC"; }

    // A folder of its own under the build holding a copy of TARVOSVC.exe and of
    // the given files (full paths); returns the copy's path. The service finds
    // the libraries it loads by name next to itself, so each test chooses them.
    static std::wstring MakeInstall(const std::wstring& name, const std::vector<std::wstring>& files);

private:
    std::wstring m_exePath;
};
