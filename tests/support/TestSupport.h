// Small helpers shared by the tests: build paths as Wine sees them, registry
// set-up, files, polling.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include "Handles.h"

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// "Z:\...\build\<relative>" (relative uses backslashes).
std::wstring BuildPathW(const std::wstring& relative);
std::string BuildPathA(const std::string& relative);
// The product's folder (TARVOSVC.exe, Kessa.dll) and the simulators' folder.
std::wstring ProductDirW();
std::wstring SimDirW();

// HKLM helpers; every key path is relative to HKEY_LOCAL_MACHINE.
bool SetDword(const std::string& key, const std::string& name, DWORD value);
bool SetString(const std::string& key, const std::string& name, const std::string& value);
bool SetBinary(const std::string& key, const std::string& name, const std::vector<BYTE>& value);
bool GetDword(const std::string& key, const std::string& name, DWORD& value);
bool DeleteValue(const std::string& key, const std::string& name);
bool DeleteTree(const std::string& key);

std::string ReadFileText(const std::wstring& path);
bool WriteFileBytes(const std::wstring& path, const std::vector<BYTE>& bytes);
bool RemoveFile(const std::wstring& path);

// Polls every 5 ms until pred is true or the time-out passes; the last pred result.
bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout);

// Starts a program and returns without waiting for it: its process handle, empty when
// it did not start. Its output goes to the given inheritable handle, if any.
CUniqueHandle StartProcess(const std::wstring& commandLine, HANDLE output = nullptr,
                           const std::wstring& workingDirectory = L"");

// Runs a program, waits for it, returns its exit code (or -1 when it did not start
// or did not end within the time-out). Its output goes to the given file, if any.
int RunProcess(const std::wstring& commandLine, DWORD timeoutMs, const std::wstring& outputFile = L"",
               const std::wstring& workingDirectory = L"");

// Under Wine, the Unix name of a Windows path; empty elsewhere.
std::string UnixPath(const std::wstring& path);
// Runs a Unix shell command from inside Wine and waits until it is done (at most
// 10 s); false elsewhere. What Wine cannot do itself (links, another owner) is made so.
bool RunUnix(const std::string& command);

// Paths as a user may prepare them; each false where this system refuses.
// A junction made as link to the folder target where Windows makes one; under
// Wine, which cannot, a Unix link in the prefix.
bool MakeFolderLink(const std::wstring& link, const std::wstring& target);
// A symbolic link to a file where this system lets the test make one; under Wine, a Unix link.
bool MakeFileLink(const std::wstring& link, const std::wstring& target);
// Under Wine, the Unix owner "nobody": a file or folder of another user.
bool GiveToNobody(const std::wstring& path);
// Gives a file or folder a list that lets everyone do everything (SYSTEM, the
// administrators and the process's user keep their entries).
bool OpenToEveryone(const std::wstring& path);
// A copy of the user the process runs as; empty when it cannot be read.
CUniqueLocal ProcessUser();

// A read, write and handle oplock on a file opened for overlapped I/O, which
// its holder never acknowledges: broken is set when another open breaks it.
// Kept while the object lives (it must outlive the request).
class COplock {
public:
    COplock(HANDLE file, HANDLE broken);
    COplock(const COplock&) = delete;
    COplock& operator=(const COplock&) = delete;
    // False where this system grants none (Wine).
    bool Granted() const { return m_granted; }
    DWORD Error() const { return m_error; }

private:
    OVERLAPPED m_request = {};
    REQUEST_OPLOCK_INPUT_BUFFER m_in = {};
    REQUEST_OPLOCK_OUTPUT_BUFFER m_out = {};
    bool m_granted = false;
    DWORD m_error = 0;
};

}  // namespace testsupport
