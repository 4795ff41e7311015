// The folders and the file that log lines are written through. The service runs
// as LocalSystem and logs under C:\ProgramData, where any user may create a
// folder and own it: a link or a folder of another owner there would send the
// service's appends into any file of the machine. So the logger makes its
// folders with an access list of its own, and writes nothing through a chain
// that holds a link or a folder or file that neither the system, the
// administrators nor the process's own user owns.
#pragma once

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
    };

    struct Result {
        Finding finding = Finding::Sound;
        std::wstring element;  // the folder or file it is about
        std::wstring owner;    // the owner's SID text, for a foreign owner
        DWORD error = 0;       // why it could not be read

        // Links, foreign owners and second names refuse the chain until the next path setting.
        bool Refuses() const;
    };

    // Every folder the logger makes: full control for SYSTEM and Administrators,
    // read for Users, inherited by the folders and files made below it, and
    // nothing inherited from the parent. No owner: the maker's default applies.
    static const wchar_t kFolderSddl[];
    // The descriptor of kFolderSddl, built once for the life of the process; null if it cannot be.
    static PSECURITY_DESCRIPTOR FolderDescriptor();

    // What the check covers of a full path, outermost first and the file last:
    // the folders below C:\ProgramData for a path in it (ProgramData itself
    // belongs to the system), else every folder below the drive root or share.
    static std::vector<std::wstring> Chain(const std::wstring& fullPath);

    // SYSTEM, Administrators, or the process's own user (SYSTEM itself for the service).
    static bool IsTrustedOwner(PSID owner, PSID processUser);

    // The one line that says why no log file is written.
    static std::string Describe(const Result& result);

    // Makes the folders of the chain that are missing, each with the access list,
    // checking every level before it makes or enters the next, then checks the file
    // when it exists. Without makeFolder it only checks. It changes nothing it finds.
    using MakeFolderFn = bool (*)(const wchar_t* folder, SECURITY_ATTRIBUTES* attributes);
    static Result Prepare(const std::wstring& path, MakeFolderFn makeFolder);
    static Result Check(const std::wstring& path) { return Prepare(path, nullptr); }

    // One folder or file, the link itself when it is one, never what it points to.
    static Result Inspect(const std::wstring& element, PSID processUser);

    // What the logger does before it opens the file: the chain is checked at the
    // path setting and again before the open that follows a failed one; a refused
    // chain holds until the next path setting. A chain that cannot be checked is
    // neither trusted nor given up: it is checked again no sooner than
    // kRecheckMs later, so a lock that passes does not end logging, and one that
    // stays costs a check per interval instead of one per line. Each finding is
    // told once per path setting. Pure: the caller says what time it is.
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
        void Opened(bool opened);

    private:
        bool m_refused = false;
        bool m_checkFirst = false;
        bool m_prepared = false;
        bool m_toldUnverified = false;
        ULONGLONG m_notBeforeMs = 0;
    };
};
