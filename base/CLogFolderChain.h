// The folders and the file that log lines are written through. The service runs
// as LocalSystem and logs under C:\ProgramData, where any user may create a
// folder and own it: a link or a folder of another owner there would send the
// service's appends into any file of the machine. So the logger makes its
// folders with an access list of its own and gives that list to its own folders
// that let others change them; it writes nothing through a chain that holds a
// link or a folder or file that neither the system, the administrators nor the
// process's own user owns; and it writes each line through a handle that it
// checks after the open and before the write.
#pragma once

#include "Handles.h"

#include <windows.h>
#include <string>
#include <vector>

class CLogFolderChain {
public:
    enum class Finding {
        Sound,         // nothing found against it
        Missing,       // not there (yet): nothing below it exists either
        Unverified,    // could not be read now; neither trusted nor refused
        ReparsePoint,  // a junction, symbolic link or mount point
        ForeignOwner,  // owned by someone else
        SecondName,    // the file is also reachable under another name (a hard link)
        Elsewhere,     // opened, it is at another path: a link on the way was followed
        Unprotected,   // one of the service's own folders lets others change it, and cannot be given the access list
        Unopened,      // a line found no file to write to now (locked, its folder gone); not a finding to tell
    };

    struct Result {
        Finding finding = Finding::Sound;
        std::wstring element;  // the folder or file it is about
        std::wstring owner;    // the owner's SID text, for a foreign owner
        std::wstring reached;  // where the element's handle is, for one elsewhere
        DWORD error = 0;       // why it could not be read, opened or protected

        // Links, foreign owners, second names and folders left open to others refuse the chain.
        bool Refuses() const;
    };

    // Every folder the logger makes: full control for SYSTEM and Administrators,
    // read for Users, inherited by the folders and files made below it, and
    // nothing inherited from the parent. No owner: the maker's default applies.
    static const wchar_t kFolderSddl[];
    // The descriptor of kFolderSddl, built once for the life of the process; null if it cannot be.
    static PSECURITY_DESCRIPTOR FolderDescriptor();

    // The path as the system resolves it now (drive and current folder filled in);
    // the path itself when it cannot be.
    static std::wstring FullPath(const std::wstring& path);

    // What the check covers of a full path, outermost first and the file last:
    // the folders below C:\ProgramData for a path in it (ProgramData itself
    // belongs to the system), else every folder below the drive root or share.
    static std::vector<std::wstring> Chain(const std::wstring& fullPath);

    // SYSTEM, Administrators, or the process's own user (SYSTEM itself for the service).
    static bool IsTrustedOwner(PSID owner, PSID processUser);

    // Whether an access list lets anyone but those trusted owners do more than
    // read, list and traverse, in the folder or in what is made in it: no list
    // at all, or an allowing entry for another trustee (Users, Everyone, CREATOR
    // OWNER, ...) with any other right, inherit-only entries included.
    static bool GrantsOthersMoreThanRead(PSECURITY_DESCRIPTOR descriptor, PSID processUser);

    // The one line that says why no log file line is written.
    static std::string Describe(const Result& result);

    // What a preparation may change. Null members change nothing.
    using MakeFolderFn = bool (*)(const wchar_t* folder, SECURITY_ATTRIBUTES* attributes);
    using ProtectFolderFn = DWORD (*)(HANDLE folder, const wchar_t* name, PSECURITY_DESCRIPTOR descriptor);
    struct Changes {
        MakeFolderFn makeFolder = nullptr;        // makes one missing folder with the attributes given
        ProtectFolderFn protectFolder = nullptr;  // gives a checked folder the descriptor's list, protected
    };
    // The system's ProtectFolderFn: SetSecurityInfo on the handle, which carries WRITE_DAC.
    static DWORD ProtectFolder(HANDLE folder, const wchar_t* name, PSECURITY_DESCRIPTOR descriptor);

    // Makes the folders of the chain that are missing, each with the access list,
    // checking every level before it makes or enters the next, gives the
    // service's own folders that let others change them the access list, then
    // checks the file when it exists. The service's own folders are those below
    // the chain's first: the first, under ProgramData the maker's, is shared with
    // its other software and keeps its list. Check changes nothing.
    static Result Prepare(const std::wstring& path, const Changes& changes);
    static Result Check(const std::wstring& path) { return Prepare(path, Changes()); }

    // One folder or file, the link itself when it is one, never what it points to.
    static Result Inspect(const std::wstring& element, PSID processUser);

    // What a line's check keeps for the next: the file (by its index on the
    // volume) last found at the log file's own path with a trusted owner.
    struct TrustedFile {
        bool known = false;
        LONGLONG index = 0;
    };

    // The log file opened for one line, for appending: an existing file by its
    // name, a missing one made relative to a handle of its folder that has passed
    // the check, so no link on the way can make it elsewhere. The file's handle
    // is checked like any element: no reparse point, one name, its own full path
    // once every link is resolved, and a trusted owner. The owner is read again
    // only when the handle's file is not the trusted one: a file's owner can be
    // changed by none but its owner, the system and the administrators. file
    // holds the handle only when the result is Sound.
    static Result OpenForLine(const std::wstring& fullPath, TrustedFile& trusted, CUniqueHandle& file);

    // What the logger does before it opens the file: the chain is checked at the
    // path setting and again before the open that follows a failed one; a chain
    // refused at the path setting holds until the next one. A chain that cannot
    // be checked, or that is refused by a later check, is checked again no
    // sooner than kRecheckMs later, so a lock that passes does not end logging,
    // and one that stays costs a check per interval instead of one per line.
    // Each finding is told once from the first line it stops until a line is
    // written again. Pure: the caller says what time it is.
    class CGate {
    public:
        enum class Step {
            Open,     // open the file
            Check,    // check the chain, then open if it passes
            Prepare,  // the path setting could not finish: make what is missing, check, open
            Skip,     // write no file line now
        };
        static constexpr ULONGLONG kRecheckMs = 1000;

        // A new path: nothing refused, nothing told, nothing made yet.
        void Reset();
        Step Next(ULONGLONG nowMs) const;
        // The result of the path setting's preparation or of a later check; true
        // when the debugger output is to be told why no file line is written.
        bool Take(const Result& result, ULONGLONG nowMs);
        // The result of a line's OpenForLine: Sound when the line was written,
        // Unopened when there was no file to write to. True as for Take.
        bool Line(const Result& result);

    private:
        bool Tell(Finding finding);

        bool m_refused = false;
        bool m_checkFirst = false;
        bool m_prepared = false;
        unsigned m_told = 0;  // the findings told since the last line written
        ULONGLONG m_notBeforeMs = 0;
    };
};
