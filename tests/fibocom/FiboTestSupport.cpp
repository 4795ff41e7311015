#include "FiboTestSupport.h"

#include "CClock.h"
#include "Logger.h"
#include "TestSupport.h"

#include <algorithm>
#include <mutex>

namespace fibotest {

namespace {
std::mutex g_lock;
std::vector<std::string> g_lines;
std::vector<DWORD> g_requests;
// Set while no capture runs, so the code under test reads them unlocked.
std::function<void(const std::string&)> g_logHook;
std::function<void(DWORD)> g_clockHook;

void CaptureLine(const char* text) {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_lines.emplace_back(text);
    }
    if (g_logHook) g_logHook(text);
}

void CaptureRequest(DWORD ms) {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_requests.push_back(ms);
    }
    if (g_clockHook) g_clockHook(ms);
}

template <typename Fn>
void Resolve(HMODULE module, const char* name, Fn& slot) {
    slot = reinterpret_cast<Fn>(::GetProcAddress(module, name));
}
}  // namespace

std::wstring SimFolder() { return testsupport::SimDirW(); }

std::wstring MissingVariantFolder(const std::string& entryPoint) {
    return testsupport::SimDirW() + L"\\fibo_missing\\" + std::wstring(entryPoint.begin(), entryPoint.end());
}

CFiboSim::CFiboSim(const std::wstring& folder) {
    m_module = ::LoadLibraryW((folder + L"\\fiboTarvoApi.dll").c_str());
    if (!m_module) return;
    Resolve(m_module, "FiboSim_Reset", Reset);
    Resolve(m_module, "FiboSim_SetValue", SetValue);
    Resolve(m_module, "FiboSim_GetValue", GetValue);
    Resolve(m_module, "FiboSim_SetImei", SetImei);
    Resolve(m_module, "FiboSim_SetReportedText", SetReportedText);
    Resolve(m_module, "FiboSim_LoadLine", LoadLine);
    Resolve(m_module, "FiboSim_GetTableText", GetTableText);
    Resolve(m_module, "FiboSim_SetFault", SetFault);
    Resolve(m_module, "FiboSim_GetCallCount", GetCallCount);
    Resolve(m_module, "FiboSim_GetAcceptedLineCount", GetAcceptedLineCount);
    Resolve(m_module, "FiboSim_GetAcceptedLine", GetAcceptedLine);
    Resolve(m_module, "FiboSim_SetCallLog", SetCallLog);
}

CFiboSim::~CFiboSim() {
    if (m_module) ::FreeLibrary(m_module);
}

std::vector<std::string> CFiboSim::AcceptedLines() const {
    std::vector<std::string> lines;
    int count = GetAcceptedLineCount();
    for (int i = 0; i < count; ++i) {
        char buffer[1024] = {};
        GetAcceptedLine(i, buffer, sizeof(buffer));
        lines.emplace_back(buffer);
    }
    return lines;
}

std::string CFiboSim::TableText() const {
    char buffer[2048] = {};
    GetTableText(buffer, sizeof(buffer));
    return buffer;
}

void StartCapture() {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_lines.clear();
        g_requests.clear();
    }
    g_logHook = nullptr;
    g_clockHook = nullptr;
    LogSetDebugSink(&CaptureLine);
    LogSetFlags(LOG_FLAG_DEBUG | LOG_FLAG_TRACE);
    CClock::SetDivisor(1000);
    CClock::SetObserver(&CaptureRequest);
}

void StopCapture() {
    LogSetFlags(0);
    LogSetDebugSink(nullptr);
    CClock::SetObserver(nullptr);
    CClock::SetDivisor(1);
    g_logHook = nullptr;
    g_clockHook = nullptr;
}

void SetLogHook(std::function<void(const std::string& line)> hook) { g_logHook = std::move(hook); }

void SetClockHook(std::function<void(DWORD ms)> hook) { g_clockHook = std::move(hook); }

std::vector<std::string> LogLines() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_lines;
}

namespace {
// "Function\tLEVEL\tmessage": the function and the message around any level.
bool Split(const std::string& line, std::string& function, std::string& message) {
    size_t first = line.find('\t');
    if (first == std::string::npos) return false;
    size_t second = line.find('\t', first + 1);
    if (second == std::string::npos) return false;
    function = line.substr(0, first);
    message = line.substr(second + 1);
    return true;
}
}  // namespace

int CountLogged(const std::string& functionName, const std::string& message) {
    int count = 0;
    for (const std::string& line : LogLines()) {
        std::string function, text;
        if (Split(line, function, text) && function == functionName && text == message) ++count;
    }
    return count;
}

bool Logged(const std::string& functionName, const std::string& message) {
    return CountLogged(functionName, message) > 0;
}

std::vector<std::string> LoggedWithPrefix(const std::string& functionName, const std::string& prefix) {
    std::vector<std::string> found;
    for (const std::string& line : LogLines()) {
        std::string function, text;
        if (Split(line, function, text) && function == functionName && text.compare(0, prefix.size(), prefix) == 0)
            found.push_back(text);
    }
    return found;
}

std::vector<DWORD> ClockRequests() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_requests;
}

int CountClockRequests(DWORD ms) {
    std::vector<DWORD> requests = ClockRequests();
    return static_cast<int>(std::count(requests.begin(), requests.end(), ms));
}

std::vector<std::string> ToVector(const std::string* items, size_t count) {
    return std::vector<std::string>(items, items + count);
}

std::string JoinRows(const std::vector<std::string>& rows, const std::string& separator) {
    std::string text;
    for (const std::string& row : rows) text += row + separator;
    return text;
}

}  // namespace fibotest
