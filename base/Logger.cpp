#include "Logger.h"

#include "CClock.h"
#include "CDebugOutput.h"
#include "CRegistryKey.h"
#include "Handles.h"
#include "WideToUtf8.h"

#include <ios>

uint32_t g_logFlags = 0;
wchar_t* g_logPath = nullptr;

namespace {
const wchar_t kLogFilePath[] = L"C:\\ProgramData\\Orvane\\Tarvo\\Debug\\Log.txt";
const char kDebugKey[] = "SYSTEM\\CurrentControlSet\\Services\\TARVOSVC\\Debug\\";

CRITICAL_SECTION g_logLock;
bool g_logLockInitialised = false;
LogDebugSink g_debugSink = nullptr;
// When the chain to the file is checked and whether a line may open the file; under the log lock.
CLogFolderChain::CGate g_logGate;
// The path as resolved at the path setting: what a line opens, and where its handle must be.
std::wstring g_logFullPath;
// The file whose owner a line's check last found trusted; under the log lock.
CLogFolderChain::TrustedFile g_logTrusted;
// The log file's folder as the last check that passed left it: every line
// opens the file relative to it; under the log lock.
CLogFolderChain::Folder g_logFolder;
// How the path setting makes the missing folders: the system's call, or a
// test's in its place (g_testChanges); under the log lock.
CLogFolderChain::Changes g_logChanges;
const CLogFolderChain::Changes* g_testChanges = nullptr;

// The system's debugger output, sent by a thread of its own; what waits while a
// stuck viewer holds that thread is bounded. Kept to the process's end, like the
// lock: a thread may log while the process exits.
CDebugOutput& SystemDebugOutput() {
    static CDebugOutput* const output = new CDebugOutput(&::OutputDebugStringA, 1000);
    return *output;
}

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

// Called under the log lock: a test's sink at once, else queued for the system's.
void DebugOutput(const char* text) {
    if (g_debugSink)
        g_debugSink(text);
    else
        SystemDebugOutput().Queue(text);
}

// Called under the log lock. The debugger output is told whatever the "Debug" switch
// says: with no file line written it is the only place left to say why.
void Tell(const char* functionName, const CLogFolderChain::Result& result) {
    DebugOutput(LineText(functionName, CLogFolderChain::Describe(result), 2).c_str());
}

// The bytes of one file line as the text-mode stream put them on disk: the
// stamp, the text with each line feed after a carriage return, and a line end.
std::string FileLine(const std::string& text) {
    std::string line = LogTimestamp();
    line.reserve(line.size() + text.size() + 2);
    for (char c : text) {
        if (c == '\n') line += '\r';
        line += c;
    }
    line += "\r\n";
    return line;
}

// Called under the log lock, which waits on nothing another program holds: every
// open completes at once, and the chain is checked before a line only after a
// refusal or a lost line, at most once an interval. Per line this costs a look at
// the gate and the clock, the open relative to the checked folder, the check
// of the file's handle and the write.
void WriteFileLine(const char* functionName, const std::string& text) {
    if (g_logPath == nullptr) return;
    ULONGLONG now = CClock::TickCount64();
    CLogFolderChain::CGate::Step step = g_logGate.Next(now);
    if (step == CLogFolderChain::CGate::Step::Skip) return;
    if (step != CLogFolderChain::CGate::Step::Open) {
        bool prepare = step == CLogFolderChain::CGate::Step::Prepare;
        g_logFolder = CLogFolderChain::Folder();
        CLogFolderChain::Result checked =
            CLogFolderChain::Prepare(g_logFullPath, prepare ? g_logChanges : CLogFolderChain::Changes(), &g_logFolder);
        if (g_logGate.Take(checked, now)) Tell(functionName, checked);
        if (g_logGate.Next(now) != CLogFolderChain::CGate::Step::Open) return;
    }
    CUniqueHandle file;
    CLogFolderChain::Result result = CLogFolderChain::OpenForLine(g_logFolder, g_logTrusted, file);
    if (file) {
        std::string line = FileLine(text);
        DWORD written = 0;
        // A write that fails, or stops short, is a line lost like one that found no file.
        BOOL wrote = ::WriteFile(file.Get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        if (!wrote || written != line.size()) {
            result.finding = CLogFolderChain::Finding::Unwritten;
            result.error = wrote ? ERROR_WRITE_FAULT : ::GetLastError();
        }
    }
    if (g_logGate.Line(result)) Tell(functionName, result);
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
    // A line being written meanwhile sees the old path or the new one, never a mix.
    CLogLockGuard guard;
    if (g_logPath == nullptr) g_logPath = new wchar_t[MAX_PATH]();
    wcsncpy_s(g_logPath, MAX_PATH, path, _TRUNCATE);
    g_logFullPath = CLogFolderChain::FullPath(g_logPath);

    // The folders are made from the path itself, drive included, one level at a
    // time relative to the level above, each with the logger's access list and
    // each checked before the next is made in it; the service's own folders that
    // exist already and let others change them refuse the chain.
    if (g_testChanges) {
        g_logChanges = *g_testChanges;
    } else {
        g_logChanges.makeFolder = &CLogFolderChain::MakeFolder;
    }
    g_logGate.Reset();
    g_logTrusted = CLogFolderChain::TrustedFile();
    g_logFolder = CLogFolderChain::Folder();
    CLogFolderChain::Result prepared = CLogFolderChain::Prepare(g_logFullPath, g_logChanges, &g_logFolder);
    if (g_logGate.Take(prepared, CClock::TickCount64())) Tell("LogSetFilePath", prepared);
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
    WriteFileLine("LogWriteFileA", line ? line : "");
}

void LogWriteFileW(const wchar_t* line) {
    CLogLockGuard guard;
    // Wide text goes into the narrow file as UTF-8.
    WriteFileLine("LogWriteFileW", WideToUtf8(line ? line : L""));
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

void LogSetDebugSend(LogDebugSink send) { SystemDebugOutput().SetSend(send ? send : &::OutputDebugStringA); }

bool LogEndDebugOutput(DWORD ms) { return SystemDebugOutput().Finish(ms); }

void LogSetFolderChanges(const CLogFolderChain::Changes* changes) {
    CLogLockGuard guard;
    g_testChanges = changes;
}
