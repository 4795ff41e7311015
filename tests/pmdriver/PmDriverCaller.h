// The exit code of pmdriver_caller, a process of its own that sends one request
// to the simulated driver: the output word when the request succeeds,
// kCallerFailed with the Win32 error when the open or the request fails.
#pragma once

#include <windows.h>

constexpr DWORD kCallerFailed = 0x80000000u;
