// The simulated modem library's control functions, exported next to its 13
// entry points. A test in the same process reaches the instance that the
// service loaded by loading the same file (LoadLibraryW of its full path)
// and resolving these names with GetProcAddress.
#pragma once

#include <windows.h>

extern "C" {
// Back to the defaults, then the start state under HKLM\Software\TarvoSim\Fibo.
typedef void(WINAPI* FiboSim_Reset_t)(void);
// Names: "MbimNotReadyPolls", "BodySarEnable", "BodySarMode", "BodySarProfile",
// "BodySarON". 0 when the name is known, -1 otherwise.
typedef int(WINAPI* FiboSim_SetValue_t)(const char* name, int value);
// The names above and "RowCount"; -1 for an unknown name.
typedef int(WINAPI* FiboSim_GetValue_t)(const char* name);
// What get_ImeiInfo reports; 16 characters or more fill its buffer without a terminator.
typedef void(WINAPI* FiboSim_SetImei_t)(const char* imei);
// A text that get_BodySarValue reports in place of the rows (1024 characters or
// more fill the buffer without a terminator); null reports the rows again.
// set_BodySarClear drops it.
typedef void(WINAPI* FiboSim_SetReportedText_t)(const char* text);
// Stores a command line's rows as set_BodySarValue would, without counting a call.
typedef int(WINAPI* FiboSim_LoadLine_t)(const char* line);
// The rows as get_BodySarValue reports them; the text's length.
typedef int(WINAPI* FiboSim_GetTableText_t)(char* buffer, int size);
// After `skip` ordinary calls of the entry point, `count` calls return `result`
// and change nothing; count -1 means every call, count 0 removes the fault.
typedef void(WINAPI* FiboSim_SetFault_t)(const char* entryPoint, int result, int skip, int count);
// Calls of an entry point since the last reset, failed ones included.
typedef int(WINAPI* FiboSim_GetCallCount_t)(const char* entryPoint);
// The lines that set_BodySarValue accepted since the last reset, in order.
typedef int(WINAPI* FiboSim_GetAcceptedLineCount_t)(void);
typedef int(WINAPI* FiboSim_GetAcceptedLine_t)(int index, char* buffer, int size);
// Appends one line per entry-point call to the file; null or "" stops it.
typedef void(WINAPI* FiboSim_SetCallLog_t)(const char* path);
}
