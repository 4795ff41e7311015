#include "Logger.h"

#include "CRegistryKey.h"

#include <shlobj.h>

#include <fstream>
#include <ios>

uint32_t g_logFlags = 0;
wchar_t* g_logPath = nullptr;

namespace {
const wchar_t kLogFilePath[] = L"C:\\ProgramData\\Orvane\\Tarvo\\Debug\\Log.txt";
const char kDebugKey[] = "SYSTEM\\CurrentControlSet\\Services\\TARVOSVC\\Debug\\";

std::ofstream g_logFile;
CRITICAL_SECTION g_logLock;
bool g_logLockInitialised = false;
LogDebugSink g_debugSink = nullptr;

// The lock is left on every way out, also when a sink throws.
class CLogLockGuard {
public:
    CLogLockGuard() {
        if (!g_logLockInitialised) {
            ::InitializeCriticalSection(&g_logLock);
            g_logLockInitialised = true;
        }
        ::EnterCriticalSection(&g_logLock);
    }
    ~CLogLockGuard() { ::LeaveCriticalSection(&g_logLock); }
};

// fopen-based: msvcrt opens with deny-none sharing, so others may read the log meanwhile.
bool OpenLogStream(const wchar_t* path) {
    g_logFile.clear();
    g_logFile.open(path, std::ios_base::out | std::ios_base::app);
    if (!g_logFile.is_open()) return false;
    g_logFile.clear();
    return true;
}
}  // namespace

void LogInit() { LogSetFlags(LogReadDebugFlags()); }

uint32_t LogReadDebugFlags() {
    CRegistryKey key(HKEY_LOCAL_MACHINE, kDebugKey);
    uint32_t flags = 0;
    if (key.ReadDWORD("Debug", KEY_READ) != 0xFFFFFFFF) flags |= LOG_FLAG_DEBUG;
    if (key.ReadDWORD("Log", KEY_READ) != 0xFFFFFFFF) flags |= LOG_FLAG_FILE;
    if (key.ReadDWORD("Trace", KEY_READ) != 0xFFFFFFFF) flags |= LOG_FLAG_TRACE;
    return flags;
}

void LogSetFlags(uint32_t flags) {
    g_logFlags = flags;
    if ((flags & LOG_FLAG_FILE) && g_logPath == nullptr) LogSetFilePath(kLogFilePath);
}

const wchar_t* LogGetFilePath() { return g_logPath; }

void LogSetFilePath(const wchar_t* path) {
    HMODULE shell32 = ::GetModuleHandleA("Shell32.dll");
    g_logPath = new wchar_t[MAX_PATH]();

    // The folder with its drive: a console run from another drive makes it where the file is.
    wchar_t folder[256] = {};
    wchar_t drive[_MAX_DRIVE] = {};
    wchar_t dir[256] = {};
    _wsplitpath_s(path, drive, _MAX_DRIVE, dir, 256, nullptr, 0, nullptr, 0);
    wcsncpy_s(folder, drive, _TRUNCATE);
    wcsncat_s(folder, 256, dir, _TRUNCATE);

    // Shell32 is one of the program's imports; the export is confirmed before the call.
    if (shell32 && ::GetProcAddress(shell32, "SHCreateDirectoryExW")) ::SHCreateDirectoryExW(nullptr, folder, nullptr);
    wcsncpy_s(g_logPath, MAX_PATH, path, _TRUNCATE);
}

std::string LogLevelName(int level) {
    switch (level) {
    case 0: return "INFO";
    case 1: return "DEBUG";
    case 2: return "ERROR";
    default: return "";
    }
}

std::wstring LogLevelNameW(int level) {
    switch (level) {
    case 0: return L"INFO";
    case 1: return L"DEBUG";
    case 2: return L"ERROR";
    default: return L"";
    }
}

void LogWrite(std::string functionName, std::string message, int level) {
    try {
        std::string text;
        if (g_logFlags & LOG_FLAG_TRACE) {
            text = functionName;
            text += '\t';
        }
        text += LogLevelName(level);
        text += '\t';
        text += message;
        LogOutput(text);
    } catch (const std::ios_base::failure&) {
    } catch (const std::exception&) {
    }
}

void LogTraceEnter(std::string functionName) {
    std::string text = LogLevelName(1);
    text += "\tEntering ";
    text += functionName;
    LogOutput(text);
}

void LogTraceExit(std::string functionName) {
    std::string text = "Exiting ";
    text += functionName;
    LogOutput(text);
}

void LogOutput(std::string line) {
    CLogLockGuard guard;
    if (g_logFlags & LOG_FLAG_DEBUG) {
        if (g_debugSink)
            g_debugSink(line.c_str());
        else
            ::OutputDebugStringA(line.c_str());
    }
    if (g_logFlags & LOG_FLAG_FILE) LogWriteFileA(line.c_str());
}

void LogWriteFileA(const char* line) {
    if (g_logPath == nullptr || !OpenLogStream(g_logPath)) return;
    g_logFile << LogTimestamp() << line << std::endl;
    g_logFile.close();
}

void LogWriteFileW(const wchar_t* line) {
    if (g_logPath == nullptr || !OpenLogStream(g_logPath)) return;
    // Wide text goes into the narrow file as UTF-8.
    int size = ::WideCharToMultiByte(CP_UTF8, 0, line, -1, nullptr, 0, nullptr, nullptr);
    std::string narrow(size > 0 ? size - 1 : 0, '\0');
    if (size > 1) ::WideCharToMultiByte(CP_UTF8, 0, line, -1, &narrow[0], size, nullptr, nullptr);
    g_logFile << LogTimestamp() << narrow << std::endl;
    g_logFile.close();
}

std::string LogFormatTwoDigits(unsigned value) {
    std::string text = std::to_string(value);
    return text.size() == 1 ? "0" + text : text;
}

std::string LogFormatTwoDigits(int value) {
    std::string text = std::to_string(value);
    return text.size() == 1 ? "0" + text : text;
}

std::string LogFormatTimestamp(const SYSTEMTIME& t) {
    std::string stamp = LogFormatTwoDigits(static_cast<unsigned>(t.wYear));
    stamp += "/" + LogFormatTwoDigits(static_cast<unsigned>(t.wMonth));
    stamp += "/" + LogFormatTwoDigits(static_cast<unsigned>(t.wDay));
    stamp += " " + LogFormatTwoDigits(static_cast<unsigned>(t.wHour));
    stamp += ":" + LogFormatTwoDigits(static_cast<unsigned>(t.wMinute));
    stamp += ":" + LogFormatTwoDigits(static_cast<unsigned>(t.wSecond));
    stamp += "." + LogFormatTwoDigits(static_cast<unsigned>(t.wMilliseconds));
    stamp += " - ";
    return stamp;
}

std::string LogTimestamp() {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    return LogFormatTimestamp(now);
}

void LogSetDebugSink(LogDebugSink sink) { g_debugSink = sink; }
