#include "TestSupport.h"

#include "BuildPaths.h"
#include "Handles.h"

#include <aclapi.h>
#include <sddl.h>
#include <winioctl.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace testsupport {

std::wstring BuildPathW(const std::wstring& relative) {
    std::string root = TARVO_BUILD_DIR_WIN;
    std::wstring path(root.begin(), root.end());
    if (!relative.empty()) path += L"\\" + relative;
    return path;
}

std::string BuildPathA(const std::string& relative) {
    std::string path = TARVO_BUILD_DIR_WIN;
    if (!relative.empty()) path += "\\" + relative;
    return path;
}

std::wstring ProductDirW() { return BuildPathW(L"bin"); }
std::wstring SimDirW() { return BuildPathW(L"simbin"); }

namespace {
bool SetValue(const std::string& key, const std::string& name, DWORD type, const void* data, DWORD size) {
    CUniqueHKey hkey;
    if (::RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, hkey.Put(),
                          nullptr) != ERROR_SUCCESS)
        return false;
    return ::RegSetValueExA(hkey.Get(), name.c_str(), 0, type, static_cast<const BYTE*>(data), size) == ERROR_SUCCESS;
}
}  // namespace

bool SetDword(const std::string& key, const std::string& name, DWORD value) {
    return SetValue(key, name, REG_DWORD, &value, sizeof(value));
}

bool SetString(const std::string& key, const std::string& name, const std::string& value) {
    return SetValue(key, name, REG_SZ, value.c_str(), static_cast<DWORD>(value.size() + 1));
}

bool SetBinary(const std::string& key, const std::string& name, const std::vector<BYTE>& value) {
    return SetValue(key, name, REG_BINARY, value.data(), static_cast<DWORD>(value.size()));
}

bool GetDword(const std::string& key, const std::string& name, DWORD& value) {
    DWORD size = sizeof(value);
    return ::RegGetValueA(HKEY_LOCAL_MACHINE, key.c_str(), name.c_str(), RRF_RT_REG_DWORD, nullptr, &value, &size) ==
           ERROR_SUCCESS;
}

bool DeleteValue(const std::string& key, const std::string& name) {
    CUniqueHKey hkey;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_SET_VALUE, hkey.Put()) != ERROR_SUCCESS) return true;
    LONG rc = ::RegDeleteValueA(hkey.Get(), name.c_str());
    return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
}

bool DeleteTree(const std::string& key) {
    LONG rc = ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, key.c_str());
    if (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND) {
        ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, key.c_str());
        return true;
    }
    return false;
}

std::string ReadFileText(const std::wstring& path) {
    CUniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return std::string();
    std::string text;
    char buffer[4096];
    DWORD read = 0;
    while (::ReadFile(file.Get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) text.append(buffer, read);
    return text;
}

bool WriteFileBytes(const std::wstring& path, const std::vector<BYTE>& bytes) {
    CUniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!file) return false;
    DWORD written = 0;
    return ::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

bool RemoveFile(const std::wstring& path) {
    return ::DeleteFileW(path.c_str()) || ::GetLastError() == ERROR_FILE_NOT_FOUND ||
           ::GetLastError() == ERROR_PATH_NOT_FOUND;
}

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pred();
}

CUniqueHandle StartProcess(const std::wstring& commandLine, HANDLE output, const std::wstring& workingDirectory) {
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    if (output != nullptr) {
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = output;
        si.hStdError = output;
        si.hStdInput = nullptr;
    }
    PROCESS_INFORMATION pi = {};
    std::wstring mutableLine = commandLine;
    if (!::CreateProcessW(nullptr, &mutableLine[0], nullptr, nullptr, output != nullptr ? TRUE : FALSE, 0, nullptr,
                          workingDirectory.empty() ? nullptr : workingDirectory.c_str(), &si, &pi))
        return CUniqueHandle();
    ::CloseHandle(pi.hThread);
    return CUniqueHandle(pi.hProcess);
}

int RunProcess(const std::wstring& commandLine, DWORD timeoutMs, const std::wstring& outputFile,
               const std::wstring& workingDirectory) {
    CUniqueHandle output;
    if (!outputFile.empty()) {
        SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
        output.Reset(::CreateFileW(outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS, 0, nullptr));
    }
    CUniqueHandle process = StartProcess(commandLine, output ? output.Get() : nullptr, workingDirectory);
    if (!process) return -1;
    if (::WaitForSingleObject(process.Get(), timeoutMs) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.Get(), 1);
        return -1;
    }
    DWORD code = 0;
    ::GetExitCodeProcess(process.Get(), &code);
    return static_cast<int>(code);
}

std::string UnixPath(const std::wstring& path) {
    using ToUnix = char*(CDECL*)(const wchar_t*);
    auto toUnix = reinterpret_cast<ToUnix>(::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name"));
    char* name = toUnix ? toUnix(path.c_str()) : nullptr;
    if (name == nullptr) return "";
    std::string text = name;
    ::HeapFree(::GetProcessHeap(), 0, name);
    return text;
}

bool RunUnix(const std::string& command) {
    // Wine starts a Unix program without a process to wait for, so the command
    // leaves a marker file behind when it is done.
    const wchar_t marker[] = L"C:\\TarvoUnixDone";
    std::string unixMarker = UnixPath(marker);
    if (unixMarker.empty()) return false;
    ::DeleteFileW(marker);
    std::string script = command + "; touch '" + unixMarker + "'";
    std::wstring line = L"sh -c \"" + std::wstring(script.begin(), script.end()) + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(L"Z:\\bin\\sh", &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    CUniqueHandle thread(process.hThread);
    CUniqueHandle owner(process.hProcess);
    bool done = WaitUntil([&] { return ::GetFileAttributesW(marker) != INVALID_FILE_ATTRIBUTES; },
                          std::chrono::milliseconds(10000));
    ::DeleteFileW(marker);
    return done;
}

bool MakeFolderLink(const std::wstring& link, const std::wstring& target) {
    if (CreateDirectoryW(link.c_str(), nullptr)) {
        HANDLE handle = CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            // The mount-point reparse data: a header, four name offsets and lengths, the two names.
            std::wstring substitute = L"\\??\\" + target;
            std::vector<BYTE> data(8 + 8);
            auto append = [&](const std::wstring& name) {
                const BYTE* bytes = reinterpret_cast<const BYTE*>(name.c_str());
                data.insert(data.end(), bytes, bytes + (name.size() + 1) * sizeof(wchar_t));
            };
            append(substitute);
            append(target);
            auto word = [&](size_t at, size_t value) {
                data[at] = static_cast<BYTE>(value);
                data[at + 1] = static_cast<BYTE>(value >> 8);
            };
            DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
            memcpy(&data[0], &tag, 4);
            word(4, data.size() - 8);
            word(8, 0);
            word(10, substitute.size() * sizeof(wchar_t));
            word(12, (substitute.size() + 1) * sizeof(wchar_t));
            word(14, target.size() * sizeof(wchar_t));
            DWORD returned = 0;
            BOOL set = DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, data.data(), static_cast<DWORD>(data.size()),
                                       nullptr, 0, &returned, nullptr);
            CloseHandle(handle);
            if (set) return true;
        }
        RemoveDirectoryW(link.c_str());
    }
    std::string unixLink = UnixPath(link);
    if (unixLink.empty() || !RunUnix("ln -s '" + UnixPath(target) + "' '" + unixLink + "'")) return false;
    DWORD attributes = GetFileAttributesW(link.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool MakeFileLink(const std::wstring& link, const std::wstring& target) {
    auto exists = [&] { return GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES; };
    if (CreateSymbolicLinkW(link.c_str(), target.c_str(), 0) && exists()) return true;
    std::string unixLink = UnixPath(link);
    return !unixLink.empty() && RunUnix("ln -s '" + UnixPath(target) + "' '" + unixLink + "'") && exists();
}

bool GiveToNobody(const std::wstring& path) {
    std::string unixPath = UnixPath(path);
    return !unixPath.empty() && RunUnix("chown nobody '" + unixPath + "'");
}

bool OpenToEveryone(const std::wstring& path) {
    CUniqueLocal user = ProcessUser();
    CUniqueLocal userText;
    if (!user || !ConvertSidToStringSidW(user.Get(), userText.Put<wchar_t>())) return false;
    std::wstring sddl = L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + std::wstring(userText.Get<wchar_t>()) +
                        L")(A;OICI;FA;;;WD)";
    CUniqueLocal given;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, given.Put(), nullptr))
        return false;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL acl = nullptr;
    return GetSecurityDescriptorDacl(given.Get(), &present, &acl, &defaulted) &&
           SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                 nullptr, nullptr, acl, nullptr) == ERROR_SUCCESS;
}

CUniqueLocal ProcessUser() {
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    BYTE buffer[256];
    DWORD size = 0;
    BOOL read = GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size);
    CloseHandle(token);
    if (!read) return CUniqueLocal();
    PSID sid = reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid;
    CUniqueLocal copy(LocalAlloc(LPTR, GetLengthSid(sid)));
    CopySid(GetLengthSid(sid), copy.Get(), sid);
    return copy;
}

COplock::COplock(HANDLE file, HANDLE broken) {
    m_request.hEvent = broken;
    m_in.StructureVersion = REQUEST_OPLOCK_CURRENT_VERSION;
    m_in.StructureLength = sizeof(m_in);
    m_in.RequestedOplockLevel = OPLOCK_LEVEL_CACHE_READ | OPLOCK_LEVEL_CACHE_WRITE | OPLOCK_LEVEL_CACHE_HANDLE;
    m_in.Flags = REQUEST_OPLOCK_INPUT_FLAG_REQUEST;
    m_out.StructureVersion = REQUEST_OPLOCK_CURRENT_VERSION;
    m_out.StructureLength = sizeof(m_out);
    // Granted, the request stays pending until the oplock is broken.
    BOOL done = ::DeviceIoControl(file, FSCTL_REQUEST_OPLOCK, &m_in, sizeof(m_in), &m_out, sizeof(m_out), nullptr,
                                  &m_request);
    m_error = done ? ERROR_SUCCESS : ::GetLastError();
    m_granted = !done && m_error == ERROR_IO_PENDING;
}

}  // namespace testsupport
