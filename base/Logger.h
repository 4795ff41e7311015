// The text log: one call per line, three sinks switched by the Debug key.
#pragma once

#include "CLogFolderChain.h"

#include <windows.h>
#include <cstdint>
#include <string>

enum : uint32_t {
    LOG_FLAG_TRACE = 0x1,  // "Trace": LogWrite lines begin with the function name
    LOG_FLAG_FILE = 0x4,   // "Log": lines are appended to the log file
    LOG_FLAG_DEBUG = 0x8,  // "Debug": lines go to OutputDebugStringA
};

extern uint32_t g_logFlags;
extern wchar_t* g_logPath;

void LogInit();
uint32_t LogReadDebugFlags();
void LogSetFlags(uint32_t flags);
const wchar_t* LogGetFilePath();
void LogSetFilePath(const wchar_t* path);

void LogWrite(std::string functionName, std::string message, int level);
void LogTraceEnter(std::string functionName);
void LogTraceExit(std::string functionName);

std::string LogLevelName(int level);
std::wstring LogLevelNameW(int level);
void LogOutput(std::string line);
void LogWriteFileA(const char* line);
void LogWriteFileW(const wchar_t* line);
std::string LogTimestamp();
// The stamp of a given local time: "2026/12/09 09:05:07.05 - ".
std::string LogFormatTimestamp(const SYSTEMTIME& time);
std::string LogFormatTwoDigits(unsigned value);
std::string LogFormatTwoDigits(int value);

// Where the "Debug" sink sends its text: queued for the debugger output's own
// thread, unless a test captures each text at once on the thread that logs.
using LogDebugSink = void (*)(const char* text);
void LogSetDebugSink(LogDebugSink sink);
// What the debugger output's thread sends each queued text with:
// OutputDebugStringA unless a test holds it; null gives it back.
void LogSetDebugSend(LogDebugSink send);
// The process's end, after its last line: the debugger output's thread sends
// what waits and ends; waits for it at most ms (real). True once it has ended.
// "Debug" texts of later lines are dropped.
bool LogEndDebugOutput(DWORD ms);

// How the path setting makes a missing log folder: the system's call, unless a
// test records what it receives. Null gives the system's back; either takes
// effect at the next path setting.
void LogSetFolderChanges(const CLogFolderChain::Changes* changes);
