// The exported face of the simulated "fiboTarvoApi.dll": the vendor library's
// 13 entry points and the control functions of FiboSimControl.h. Every call
// takes the one lock, loads the start state on first use and, when a call log
// is named, appends a line "<entry point> <detail> -> <result>".
#include <windows.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "FiboSimControl.h"
#include "FiboSimModem.h"

using namespace fibosim;

namespace {
const char kStartKey[] = "Software\\TarvoSim\\Fibo";
const DWORD kMaxRegistryText = 64 * 1024;

std::mutex g_lock;
Modem g_modem;
bool g_started = false;
std::string g_callLog;

class CKey {
public:
    CKey(HKEY root, const char* path) {
        if (::RegOpenKeyExA(root, path, 0, KEY_READ, &m_key) != ERROR_SUCCESS) m_key = nullptr;
    }
    ~CKey() {
        if (m_key) ::RegCloseKey(m_key);
    }
    HKEY Get() const { return m_key; }

    bool Dword(const char* name, int& value) const {
        DWORD data = 0, size = sizeof(data);
        if (!m_key || ::RegGetValueA(m_key, nullptr, name, RRF_RT_REG_DWORD, nullptr, &data, &size) != ERROR_SUCCESS)
            return false;
        value = static_cast<int>(data);
        return true;
    }
    // REG_SZ or REG_MULTI_SZ: the strings it holds.
    bool Strings(const char* name, DWORD flags, std::vector<std::string>& values) const {
        DWORD size = 0;
        if (!m_key || ::RegGetValueA(m_key, nullptr, name, flags, nullptr, nullptr, &size) != ERROR_SUCCESS ||
            size > kMaxRegistryText)
            return false;
        std::vector<char> data(size + 2, '\0');
        if (::RegGetValueA(m_key, nullptr, name, flags, nullptr, data.data(), &size) != ERROR_SUCCESS) return false;
        values.clear();
        for (size_t pos = 0; pos < size && data[pos] != '\0';) {
            std::string one(&data[pos]);
            pos += one.size() + 1;
            values.push_back(one);
        }
        return true;
    }

private:
    HKEY m_key = nullptr;
};

void LoadFaults(const CKey& start) {
    CKey faults(start.Get(), "Faults");
    if (!start.Get() || !faults.Get()) return;
    char name[256];
    for (DWORD index = 0;; ++index) {
        DWORD length = sizeof(name);
        if (::RegEnumKeyExA(faults.Get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        CKey entry(faults.Get(), name);
        Fault fault;
        fault.count = -1;
        entry.Dword("Result", fault.result);
        entry.Dword("Skip", fault.skip);
        entry.Dword("Count", fault.count);
        g_modem.SetFault(name, fault);
    }
}

// Under the lock: the factory state, then what HKLM\Software\TarvoSim\Fibo says.
void LoadStartState() {
    g_modem.Reset();
    g_callLog.clear();
    CKey start(HKEY_LOCAL_MACHINE, kStartKey);
    if (!start.Get()) return;
    start.Dword("MbimNotReadyPolls", g_modem.mbimNotReadyPolls);
    start.Dword("BodySarEnable", g_modem.enable);
    start.Dword("BodySarMode", g_modem.mode);
    start.Dword("BodySarProfile", g_modem.profile);
    start.Dword("BodySarON", g_modem.on);
    std::vector<std::string> values;
    if (start.Strings("Imei", RRF_RT_REG_SZ, values)) g_modem.imei = values.empty() ? "" : values[0];
    if (start.Strings("ReportedText", RRF_RT_REG_SZ, values)) {
        g_modem.hasReportedText = true;
        g_modem.reportedText = values.empty() ? "" : values[0];
    }
    if (start.Strings("TableLines", RRF_RT_REG_MULTI_SZ | RRF_RT_REG_SZ, values)) {
        for (const std::string& line : values) g_modem.StoreLine(line);
    }
    if (start.Strings("CallLog", RRF_RT_REG_SZ, values) && !values.empty()) g_callLog = values[0];
    LoadFaults(start);
}

void EnsureStarted() {
    if (g_started) return;
    LoadStartState();
    g_started = true;
}

void AppendCallLog(const std::string& line) {
    if (g_callLog.empty()) return;
    HANDLE file = ::CreateFileA(g_callLog.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    std::string text = line + "\r\n";
    DWORD written = 0;
    ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    ::CloseHandle(file);
}

// One entry-point call: a planted fault answers instead of the modem.
template <typename Body>
int Call(const char* entryPoint, Body body) {
    std::lock_guard<std::mutex> guard(g_lock);
    EnsureStarted();
    int result = kOk;
    std::string detail;
    if (!g_modem.Enter(entryPoint, result)) result = body(detail);
    AppendCallLog(std::string(entryPoint) + " " + detail + " -> " + std::to_string(result));
    return result;
}

int SetInt(int* field, int value, std::string& detail) {
    *field = value;
    detail = std::to_string(value);
    return kOk;
}

int GetInt(const int* field, int* out, std::string& detail) {
    if (out == nullptr) return kInvalid;
    *out = *field;
    detail = std::to_string(*out);
    return kOk;
}

int* ValueField(const std::string& name) {
    if (name == "MbimNotReadyPolls") return &g_modem.mbimNotReadyPolls;
    if (name == "BodySarEnable") return &g_modem.enable;
    if (name == "BodySarMode") return &g_modem.mode;
    if (name == "BodySarProfile") return &g_modem.profile;
    if (name == "BodySarON") return &g_modem.on;
    return nullptr;
}

int CopyOut(const std::string& text, char* buffer, int size) {
    if (buffer == nullptr || size <= 0) return static_cast<int>(text.size());
    size_t n = text.size() < static_cast<size_t>(size - 1) ? text.size() : static_cast<size_t>(size - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return static_cast<int>(text.size());
}
}  // namespace

extern "C" {

int WINAPI get_IsMBIMReady(int* ready) {
    return Call("get_IsMBIMReady", [&](std::string& detail) {
        if (ready == nullptr) return int(kInvalid);
        if (g_modem.mbimNotReadyPolls > 0) {
            --g_modem.mbimNotReadyPolls;
            *ready = 0;
        } else {
            *ready = 1;
        }
        detail = std::to_string(*ready);
        return int(kOk);
    });
}

int WINAPI set_BodySarEnable(int enable) {
    return Call("set_BodySarEnable", [&](std::string& d) { return SetInt(&g_modem.enable, enable, d); });
}
int WINAPI get_BodySarEnable(int* enable) {
    return Call("get_BodySarEnable", [&](std::string& d) { return GetInt(&g_modem.enable, enable, d); });
}
int WINAPI set_BodySarMode(int mode) {
    return Call("set_BodySarMode", [&](std::string& d) { return SetInt(&g_modem.mode, mode, d); });
}
int WINAPI get_BodySarMode(int* mode) {
    return Call("get_BodySarMode", [&](std::string& d) { return GetInt(&g_modem.mode, mode, d); });
}
int WINAPI set_BodySarProfile(int profile) {
    return Call("set_BodySarProfile", [&](std::string& d) { return SetInt(&g_modem.profile, profile, d); });
}
int WINAPI get_BodySarProfile(int* profile) {
    return Call("get_BodySarProfile", [&](std::string& d) { return GetInt(&g_modem.profile, profile, d); });
}
int WINAPI set_BodySarON(int value) {
    return Call("set_BodySarON", [&](std::string& d) { return SetInt(&g_modem.on, value, d); });
}
int WINAPI get_BodySarON(int* value) {
    return Call("get_BodySarON", [&](std::string& d) { return GetInt(&g_modem.on, value, d); });
}

// The line lives in the caller's 1024-byte buffer; one without a terminator there is refused.
int WINAPI set_BodySarValue(const char* line) {
    return Call("set_BodySarValue", [&](std::string& detail) {
        if (line == nullptr) return int(kInvalid);
        const void* end = std::memchr(line, '\0', kTextBufferSize);
        if (end == nullptr) return int(kInvalid);
        std::string text(line, static_cast<const char*>(end) - line);
        detail = text;
        int result = g_modem.StoreLine(text);
        if (result == kOk) g_modem.acceptedLines.push_back(text);
        return result;
    });
}

int WINAPI get_BodySarValue(char* buffer) {
    return Call("get_BodySarValue", [&](std::string& detail) {
        if (buffer == nullptr) return int(kInvalid);
        std::string bytes = g_modem.ReportedBytes();
        std::memcpy(buffer, bytes.data(), bytes.size());
        if (bytes.size() < kTextBufferSize) buffer[bytes.size()] = '\0';
        detail = std::to_string(bytes.size()) + " bytes";
        return int(kOk);
    });
}

int WINAPI set_BodySarClear(void) {
    return Call("set_BodySarClear", [&](std::string&) {
        g_modem.Clear();
        return int(kOk);
    });
}

int WINAPI get_ImeiInfo(char* buffer) {
    return Call("get_ImeiInfo", [&](std::string& detail) {
        if (buffer == nullptr) return int(kInvalid);
        size_t n = g_modem.imei.size() < kImeiBufferSize ? g_modem.imei.size() : kImeiBufferSize;
        std::memcpy(buffer, g_modem.imei.data(), n);
        if (n < kImeiBufferSize) buffer[n] = '\0';
        detail = g_modem.imei.substr(0, n);
        return int(kOk);
    });
}

void WINAPI FiboSim_Reset(void) {
    std::lock_guard<std::mutex> guard(g_lock);
    LoadStartState();
    g_started = true;
}

int WINAPI FiboSim_SetValue(const char* name, int value) {
    std::lock_guard<std::mutex> guard(g_lock);
    EnsureStarted();
    int* field = name ? ValueField(name) : nullptr;
    if (field == nullptr) return -1;
    *field = value;
    return 0;
}

int WINAPI FiboSim_GetValue(const char* name) {
    std::lock_guard<std::mutex> guard(g_lock);
    EnsureStarted();
    if (name == nullptr) return -1;
    if (std::strcmp(name, "RowCount") == 0) return static_cast<int>(g_modem.rows.size());
    int* field = ValueField(name);
    return field ? *field : -1;
}

void WINAPI FiboSim_SetImei(const char* imei) {
    std::lock_guard<std::mutex> guard(g_lock);
    EnsureStarted();
    g_modem.imei = imei ? imei : "";
}

void WINAPI FiboSim_SetReportedText(const char* text) {
    std::lock_guard<std::mutex> guard(g_lock);
    EnsureStarted();
    g_modem.hasReportedText = text != nullptr;
    g_modem.reportedText = text ? text : "";
}

int WINAPI FiboSim_LoadLine(const char* line) {
    std::lock_guard<std::mutex> guard(g_lock);
    EnsureStarted();
    return line ? g_modem.StoreLine(line) : int(kInvalid);
}

int WINAPI FiboSim_GetTableText(char* buffer, int size) {
    std::lock_guard<std::mutex> guard(g_lock);
    EnsureStarted();
    return CopyOut(g_modem.TableText(), buffer, size);
}

void WINAPI FiboSim_SetFault(const char* entryPoint, int result, int skip, int count) {
    std::lock_guard<std::mutex> guard(g_lock);
    EnsureStarted();
    if (entryPoint == nullptr) return;
    Fault fault;
    fault.result = result;
    fault.skip = skip;
    fault.count = count;
    g_modem.SetFault(entryPoint, fault);
}

int WINAPI FiboSim_GetCallCount(const char* entryPoint) {
    std::lock_guard<std::mutex> guard(g_lock);
    EnsureStarted();
    return entryPoint ? g_modem.CallCount(entryPoint) : 0;
}

int WINAPI FiboSim_GetAcceptedLineCount(void) {
    std::lock_guard<std::mutex> guard(g_lock);
    EnsureStarted();
    return static_cast<int>(g_modem.acceptedLines.size());
}

int WINAPI FiboSim_GetAcceptedLine(int index, char* buffer, int size) {
    std::lock_guard<std::mutex> guard(g_lock);
    EnsureStarted();
    if (index < 0 || static_cast<size_t>(index) >= g_modem.acceptedLines.size()) return -1;
    return CopyOut(g_modem.acceptedLines[static_cast<size_t>(index)], buffer, size);
}

void WINAPI FiboSim_SetCallLog(const char* path) {
    std::lock_guard<std::mutex> guard(g_lock);
    EnsureStarted();
    g_callLog = path ? path : "";
}

}  // extern "C"
