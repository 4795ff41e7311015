#include "ServiceHarness.h"

#include "CSimModemControl.h"
#include "Handles.h"
#include "SimPxNames.h"
#include "TestSupport.h"

#include <chrono>
#include <thread>

namespace {
const wchar_t kLogFile[] = L"C:\\ProgramData\\Orvane\\Tarvo\\Debug\\Log.txt";
const wchar_t kTagFile[] = L"C:\\VAWMIR\\Tarvo.tag";

size_t CountOf(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}
}  // namespace

CServiceHarness::CServiceHarness(std::wstring exePath) : m_exePath(std::move(exePath)) {
    if (m_exePath.empty()) m_exePath = testsupport::ProductDirW() + L"\\TARVOSVC.exe";
}

CServiceHarness::~CServiceHarness() { Remove(); }

void CServiceHarness::WriteDebugSwitches(DWORD clockDivisor) {
    std::string debug = std::string(ServiceKey()) + "\\Debug";
    testsupport::SetDword(debug, "Log", 0);
    testsupport::SetDword(debug, "Trace", 0);
    testsupport::SetDword(debug, "ClockDivisor", clockDivisor);
}

void CServiceHarness::Prepare(DWORD clockDivisor) {
    // The service reaches the simulated modem through its own CoCreateInstance:
    // the server is registered in the prefix before the service starts.
    CSimModemControl::Register();
    Remove();
    ClearLog();
    testsupport::RemoveFile(kTagFile);
    WriteDebugSwitches(clockDivisor);
}

int CServiceHarness::Run(const std::wstring& argument, DWORD timeoutMs) {
    // A console run's dispatcher call opens the control pipe that this value
    // names; while the last started service holds it, Wine waits 10 s for it
    // before failing with 1063. A pipe that does not exist fails at once.
    testsupport::SetDword("System\\CurrentControlSet\\Control\\ServiceCurrent", "", 0xEE6B2800);
    std::wstring line = L"\"" + m_exePath + L"\"";
    if (!argument.empty()) line += L" " + argument;
    // From the folder a service runs in (the system folder), as an installer would.
    return testsupport::RunProcess(line, timeoutMs, L"", L"C:\\windows\\system32");
}

bool CServiceHarness::Installed() { return State() != 0; }

bool CServiceHarness::Start() {
    CUniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    CUniqueScHandle service(manager ? OpenServiceW(manager.Get(), L"TARVOSVC", SERVICE_ALL_ACCESS) : nullptr);
    return service && StartServiceW(service.Get(), 0, nullptr);
}

DWORD CServiceHarness::State() {
    CUniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    CUniqueScHandle service(manager ? OpenServiceW(manager.Get(), L"TARVOSVC", SERVICE_QUERY_STATUS) : nullptr);
    SERVICE_STATUS status = {};
    if (!service || !QueryServiceStatus(service.Get(), &status)) return 0;
    return status.dwCurrentState;
}

bool CServiceHarness::WaitForState(DWORD state, DWORD timeoutMs) {
    return testsupport::WaitUntil([&] { return State() == state; }, std::chrono::milliseconds(timeoutMs));
}

bool CServiceHarness::StopAndWait(DWORD timeoutMs) {
    CUniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    CUniqueScHandle service(manager ? OpenServiceW(manager.Get(), L"TARVOSVC", SERVICE_ALL_ACCESS) : nullptr);
    if (!service) return false;
    SERVICE_STATUS status = {};
    ControlService(service.Get(), SERVICE_CONTROL_STOP, &status);
    return WaitForState(SERVICE_STOPPED, timeoutMs);
}

std::vector<SERVICE_STATUS> CServiceHarness::StopAndWatch(DWORD timeoutMs) {
    std::vector<SERVICE_STATUS> seen;
    CUniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    CUniqueScHandle service(manager ? OpenServiceW(manager.Get(), L"TARVOSVC", SERVICE_ALL_ACCESS) : nullptr);
    if (!service) return seen;
    SERVICE_STATUS status = {};
    if (ControlService(service.Get(), SERVICE_CONTROL_STOP, &status)) seen.push_back(status);
    testsupport::WaitUntil(
        [&] {
            if (!QueryServiceStatus(service.Get(), &status)) return false;
            if (seen.empty() || seen.back().dwCurrentState != status.dwCurrentState ||
                seen.back().dwCheckPoint != status.dwCheckPoint)
                seen.push_back(status);
            return status.dwCurrentState == SERVICE_STOPPED;
        },
        std::chrono::milliseconds(timeoutMs));
    return seen;
}

void CServiceHarness::Remove() {
    CUniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return;
    CUniqueScHandle service(OpenServiceW(manager.Get(), L"TARVOSVC", SERVICE_ALL_ACCESS));
    if (!service) return;
    SERVICE_STATUS status = {};
    if (QueryServiceStatus(service.Get(), &status) && status.dwCurrentState != SERVICE_STOPPED) {
        // A test may have installed the simulated service under this name, maybe
        // hung in stop pending: its "Release" value ends it (the real service ignores it).
        testsupport::SetDword(ServiceKey(), SIMPX_VALUE_RELEASE, 1);
        ControlService(service.Get(), SERVICE_CONTROL_STOP, &status);
        WaitForState(SERVICE_STOPPED, 20000);
    }
    DeleteService(service.Get());
    service.Reset();
    testsupport::WaitUntil([&] { return State() == 0; }, std::chrono::milliseconds(10000));
}

std::string CServiceHarness::ReadLog() { return testsupport::ReadFileText(kLogFile); }

bool CServiceHarness::LogHas(const std::string& text) { return ReadLog().find(text) != std::string::npos; }

size_t CServiceHarness::LogCount(const std::string& text) { return CountOf(ReadLog(), text); }

bool CServiceHarness::WaitForLog(const std::string& text, DWORD timeoutMs, size_t count) {
    return testsupport::WaitUntil([&] { return LogCount(text) >= count; }, std::chrono::milliseconds(timeoutMs));
}

void CServiceHarness::ClearLog() { testsupport::RemoveFile(kLogFile); }

std::string CServiceHarness::LogTail(size_t lines) {
    const std::string text = ReadLog();
    size_t at = text.size();
    for (size_t seen = 0; at > 0 && seen <= lines;)
        if (text[--at] == '\n') ++seen;
    return "\n--- service log, last lines ---\n" + text.substr(at);
}

std::wstring CServiceHarness::MakeInstall(const std::wstring& name, const std::vector<std::wstring>& files) {
    std::wstring folder = testsupport::BuildPathW(L"e2e-install");
    CreateDirectoryW(folder.c_str(), nullptr);
    folder += L"\\" + name;
    CreateDirectoryW(folder.c_str(), nullptr);
    // Whatever an earlier run left there goes first.
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileW((folder + L"\\" + found.cFileName).c_str());
        } while (FindNextFileW(find, &found));
        FindClose(find);
    }
    std::wstring exe = folder + L"\\TARVOSVC.exe";
    CopyFileW((testsupport::ProductDirW() + L"\\TARVOSVC.exe").c_str(), exe.c_str(), FALSE);
    for (const std::wstring& file : files) {
        std::wstring base = file.substr(file.find_last_of(L"\\") + 1);
        CopyFileW(file.c_str(), (folder + L"\\" + base).c_str(), FALSE);
    }
    return exe;
}
