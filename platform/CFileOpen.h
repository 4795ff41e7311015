// Opens of files and folders on paths that a user may reach (under
// C:\ProgramData, at the drive root). Run as LocalSystem, such an open must
// never wait on another program and never lend the service's identity:
// - an oplock that another handle holds ends the open at once
//   (FILE_COMPLETE_IF_OPLOCKED) instead of waiting until its holder
//   acknowledges the break, which it need never do; the handle is then closed
//   and the open reported as oplocked;
// - the open says that the far end may identify the caller but not act as it
//   (security quality of service, identification), so a link that leads to a
//   named pipe gives its server nothing to impersonate.
#pragma once

#include "Handles.h"

#include <windows.h>
#include <string>

class CFileOpen {
public:
    struct Request {
        ACCESS_MASK access = 0;
        ULONG share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
        ULONG disposition = 1;  // FILE_OPEN; also FILE_OPEN_IF (3), FILE_CREATE (2)
        ULONG options = 0;      // FILE_DIRECTORY_FILE, FILE_NON_DIRECTORY_FILE, FILE_OPEN_REPARSE_POINT, ...
        PSECURITY_DESCRIPTOR descriptor = nullptr;  // what a creation gives what it makes
    };
    static constexpr ULONG kOpen = 1;
    static constexpr ULONG kCreate = 2;
    static constexpr ULONG kOpenIf = 3;

    // ERROR_OPLOCK_BREAK_IN_PROGRESS, which mingw-w64's headers lack.
    static constexpr DWORD kErrorOplocked = 742;

    struct Outcome {
        LONG status = 0;        // the NTSTATUS of the call
        bool oplocked = false;  // another handle's oplock: nothing opened
        bool Opened() const { return status >= 0 && !oplocked; }
        bool NotFound() const;
        bool SharingViolation() const;
        DWORD Error() const;  // the Win32 error of a failure, kErrorOplocked when oplocked
    };

    // name relative to the folder that parent holds, so that no link above it
    // is resolved; a full Win32 path when parent is null.
    static Outcome Open(HANDLE parent, const std::wstring& name, const Request& request, CUniqueHandle& handle);
    // The attributes of what a full path names, the link itself when it is one.
    static Outcome QueryAttributes(const std::wstring& path, DWORD& attributes);
};
