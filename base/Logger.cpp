#include "Logger.h"

#include "CClock.h"
#include "CLogFolderChain.h"
#include "CRegistryKey.h"
#include "WideToUtf8.h"

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
// When the chain to the file is checked and whether a line may open the file; under the log lock.
CLogFolderChain::CGate g_logGate;
// How the path setting makes a missing folder; null when Shell32 cannot.
CLogFolderChain::MakeFolderFn g_logMakeFolder = nullptr;

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

std::string LineText(const std::string& functionName, const std::string& message, int level) {
    std::string text;
    if (g_logFlags & LOG_FLAG_TRACE) {
        text = functionName;
        text += '\t';
    }
    text += LogLevelName(level);
    text += '\t';
    text += message;
    return text;
}

void DebugOutput(const char* text) {
    if (g_debugSink)
        g_debugSink(text);
    else
        ::OutputDebugStringA(text);
}

// Called under the log lock. The debugger output is told whatever the "Debug" switch
// says: with no file line written it is the only place left to say why.
void TakeChainResult(const char* functionName, const CLogFolderChain::Result& result, ULONGLONG nowMs) {
    if (g_logGate.Take(result, nowMs))
        DebugOutput(LineText(functionName, CLogFolderChain::Describe(result), 2).c_str());
}

bool MakeLogFolder(const wchar_t* folder, SECURITY_ATTRIBUTES* attributes) {
    return ::SHCreateDirectoryExW(nullptr, folder, attributes) == ERROR_SUCCESS;
}

// Called under the log lock. Per line this costs a look at the gate and the clock,
// except after a failed open or while the chain cannot be checked.
bool OpenLogFile(const char* functionName) {
    if (g_logPath == nullptr) return false;
    ULONGLONG now = CClock::TickCount64();
    CLogFolderChain::CGate::Step step = g_logGate.Next(now);
    if (step == CLogFolderChain::CGate::Step::Skip) return false;
    if (step != CLogFolderChain::CGate::Step::Open) {
        bool prepare = step == CLogFolderChain::CGate::Step::Prepare;
        TakeChainResult(functionName, CLogFolderChain::Prepare(g_logPath, prepare ? g_logMakeFolder : nullptr), now);
        if (g_logGate.Next(now) != CLogFolderChain::CGate::Step::Open) return false;
    }
    bool opened = OpenLogStream(g_logPath);
    g_logGate.Opened(opened);
    return opened;
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
    // Shell32 is one of the program's imports; the export is confirmed before the call.
    bool canMake = shell32 && ::GetProcAddress(shell32, "SHCreateDirectoryExW");

    // A line being written meanwhile sees the old path or the new one, never a mix.
    CLogLockGuard guard;
    if (g_logPath == nullptr) g_logPath = new wchar_t[MAX_PATH]();
    wcsncpy_s(g_logPath, MAX_PATH, path, _TRUNCATE);

    // The folders are made from the path itself, drive included, one level at a time,
    // each with the logger's access list and each checked before the next is made in it.
    g_logMakeFolder = canMake ? &MakeLogFolder : nullptr;
    g_logGate.Reset();
    TakeChainResult("LogSetFilePath", CLogFolderChain::Prepare(g_logPath, g_logMakeFolder), CClock::TickCount64());
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
        LogOutput(LineText(functionName, message, level));
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
    if (g_logFlags & LOG_FLAG_DEBUG) DebugOutput(line.c_str());
    if (g_logFlags & LOG_FLAG_FILE) LogWriteFileA(line.c_str());
}

void LogWriteFileA(const char* line) {
    CLogLockGuard guard;
    if (!OpenLogFile("LogWriteFileA")) return;
    g_logFile << LogTimestamp() << line << std::endl;
    g_logFile.close();
}

void LogWriteFileW(const wchar_t* line) {
    CLogLockGuard guard;
    if (!OpenLogFile("LogWriteFileW")) return;
    // Wide text goes into the narrow file as UTF-8.
    g_logFile << LogTimestamp() << WideToUtf8(line ? line : L"") << std::endl;
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
