#include "CSimModemRemote.h"

#include "Handles.h"
#include "SimText.h"

#include <thread>

namespace {
template <class Pred>
bool Poll(Pred pred, DWORD timeoutMs) {
    ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        if (pred()) return true;
        if (::GetTickCount64() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool ValueExists(HKEY key, const std::wstring& name) {
    return ::RegQueryValueExW(key, name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

// A name that sorts after every earlier one, also across processes: the
// performance counter is one clock for the whole machine.
std::wstring NextChangeName() {
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    wchar_t name[32];
    swprintf(name, 32, L"%020llu", static_cast<unsigned long long>(now.QuadPart));
    return name;
}

std::wstring Change(const wchar_t* verb, uint32_t index) {
    return simtext::FormatChange(simtext::Change(verb).Set(L"if", index));
}
}  // namespace

bool CSimModemRemote::WriteStartState(const simmodem::StartState& state) { return simreg::WriteStartState(state); }

bool CSimModemRemote::Clear() { return simreg::DeleteAll(); }

bool CSimModemRemote::SendChange(const std::wstring& text, DWORD timeoutMs) {
    CUniqueHKey control;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, simreg::kControlKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                          control.Put(), nullptr) != ERROR_SUCCESS)
        return false;
    simreg::Status before;
    ReadStatus(before);
    std::wstring name = NextChangeName();
    if (::RegSetValueExW(control.Get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                         static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) != ERROR_SUCCESS)
        return false;
    if (!Poll([&] { return !ValueExists(control.Get(), name); }, timeoutMs)) {
        ::RegDeleteValueW(control.Get(), name.c_str());
        return false;
    }
    // Taken: the status that counts it follows right after.
    simreg::Status after;
    Poll([&] { return ReadStatus(after) && after.applied + after.rejected > before.applied + before.rejected; },
         timeoutMs);
    return !(after.rejected > before.rejected && after.lastRejected == text);
}

bool CSimModemRemote::SetRadio(uint32_t index, int hardware, int software, DWORD timeoutMs) {
    simtext::Change c(L"radio");
    c.Set(L"if", index);
    if (hardware >= 0) c.Set(L"hw", static_cast<uint32_t>(hardware));
    if (software >= 0) c.Set(L"sw", static_cast<uint32_t>(software));
    return SendChange(simtext::FormatChange(c), timeoutMs);
}

bool CSimModemRemote::SetRegistration(uint32_t index, uint32_t state, DWORD timeoutMs) {
    return SendChange(simtext::FormatChange(simtext::Change(L"register").Set(L"if", index).Set(L"state", state)),
                      timeoutMs);
}

bool CSimModemRemote::RemoveInterface(uint32_t index, DWORD timeoutMs) {
    return SendChange(Change(L"remove", index), timeoutMs);
}

bool CSimModemRemote::ArriveInterface(uint32_t index, DWORD timeoutMs) {
    return SendChange(Change(L"arrive", index), timeoutMs);
}

bool CSimModemRemote::SetTransmitting(uint32_t index, bool transmitting, DWORD timeoutMs) {
    return SendChange(
        simtext::FormatChange(simtext::Change(L"transmit").Set(L"if", index).Set(L"on", transmitting ? 1u : 0u)),
        timeoutMs);
}

bool CSimModemRemote::AddFault(const simmodem::FaultSpec& fault, DWORD timeoutMs) {
    return SendChange(simtext::FormatFault(fault), timeoutMs);
}

bool CSimModemRemote::ClearFaults(DWORD timeoutMs) { return SendChange(L"clearfaults", timeoutMs); }

bool CSimModemRemote::ReleaseHeld(uint32_t count, DWORD timeoutMs) {
    simtext::Change c(L"release");
    if (count != SIMMODEM_ALL) c.Set(L"count", count);
    return SendChange(simtext::FormatChange(c), timeoutMs);
}

bool CSimModemRemote::WaitForHeld(uint32_t count, DWORD timeoutMs) {
    return WaitForStatus([count](const simreg::Status& s) { return s.held >= count; }, timeoutMs);
}

bool CSimModemRemote::ReadStatus(simreg::Status& status) { return simreg::ReadStatus(status); }

bool CSimModemRemote::WaitForStatus(const std::function<bool(const simreg::Status&)>& pred, DWORD timeoutMs,
                                    simreg::Status* last) {
    simreg::Status status;
    bool ok = Poll([&] { return ReadStatus(status) && pred(status); }, timeoutMs);
    if (last) *last = status;
    return ok;
}

bool CSimModemRemote::WaitForActivation(DWORD pid, DWORD timeoutMs) {
    return WaitForStatus([pid](const simreg::Status& s) { return s.pid != 0 && (pid == 0 || s.pid == pid); },
                         timeoutMs);
}

std::vector<simmodem::LogEntry> CSimModemRemote::ReadLog(const std::wstring& path) {
    std::vector<simmodem::LogEntry> log;
    CUniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return log;
    std::string text;
    char buffer[4096];
    DWORD read = 0;
    while (::ReadFile(file.Get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) text.append(buffer, read);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) break;  // a line still being written
        std::wstring line(text.begin() + start, text.begin() + end);
        simmodem::LogEntry entry;
        if (simtext::ParseLogLine(line, entry)) log.push_back(entry);
        start = end + 1;
    }
    return log;
}

bool CSimModemRemote::WaitForLog(const std::wstring& path, uint32_t opMask, uint32_t count, DWORD timeoutMs,
                                 std::vector<simmodem::LogEntry>* log) {
    std::vector<simmodem::LogEntry> entries;
    bool ok = Poll(
        [&] {
            entries = ReadLog(path);
            uint32_t n = 0;
            for (const auto& e : entries)
                if (e.op < 32 && (opMask & (1u << e.op))) ++n;
            return n >= count;
        },
        timeoutMs);
    if (log) *log = entries;
    return ok;
}
