// The folders and the file that log lines are written through. The service runs
// as LocalSystem and logs under C:\ProgramData, where any user may create a
// folder and own it: a link or a folder of another owner there would send the
// service's appends into any file of the machine. So the logger makes its
// folders with an access list of its own; it writes nothing through a chain
// that holds a link, a folder or file that neither the system, the
// administrators nor the process's own user owns, a folder of its own that lets
// others change it, or a maker's folder that lets others replace what it holds.
// Nothing found is renamed or changed: a rename waits for whoever holds an
// oplock below the folder. It walks the chain from handle to handle,
// keeps the checked handle of the log file's folder, and opens every line's
// file relative to it, checking the file's handle before the write. No open
// waits on another program's oplock.
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
        Unprotected,   // one of the service's own folders lets others change it
        Replaceable,   // the maker's folder lets others delete or rename what it holds, or change its list
        Unopened,      // a line found no file to write to now (in use, its folder gone)
        Oplocked,      // another program holds an oplock on the file: opened, it would wait for them
        Unwritten,     // the line's write failed
    };

    struct Result {
        Finding finding = Finding::Sound;
        std::wstring element;  // the folder or file it is about
        std::wstring owner;    // the owner's SID text, for a foreign owner
        std::wstring reached;  // where the element's handle is, for one elsewhere
        DWORD error = 0;       // why it could not be read, opened or written

        // Links, foreign owners, second names, folders left open to others and
        // a maker's folder that lets others replace its content refuse the chain.
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

    // What a full path's check stands on: C:\ProgramData for a path in it (it
    // belongs to the system, and may be moved elsewhere through a link), else
    // the drive root or share. Empty for a path without a root.
    static std::wstring Base(const std::wstring& fullPath);
    // What the check covers of a full path, outermost first and the file last:
    // every folder below the base.
    static std::vector<std::wstring> Chain(const std::wstring& fullPath);
    // Where an element below base must be once every link is resolved: below
    // the base's own final path (baseFinal), whatever link leads to the base.
    static std::wstring ExpectedFinalPath(const std::wstring& baseFinal, const std::wstring& base,
                                          const std::wstring& element);

    // Whether an access list lets anyone but the trusted owners do more than
    // read, list and traverse, in the folder or in what is made in it: no list
    // at all, or an allowing entry for another trustee (Users, Everyone, CREATOR
    // OWNER, ...) with any other right, inherit-only entries included.
    static bool GrantsOthersMoreThanRead(PSECURITY_DESCRIPTOR descriptor, PSID processUser);
    // Whether the maker's folder at the top of the chain, which keeps its own
    // list, lets anyone but the trusted owners delete or rename what it holds
    // (delete-child, or delete passed down), or change its list or what it
    // passes down (write-DAC, take ownership): no list at all, or such an
    // allowing entry. The creator entries, which stand for whoever makes an
    // object in it, are not counted: a user's object is the user's own anyway.
    static bool LetsOthersReplaceWhatItHolds(PSECURITY_DESCRIPTOR descriptor, PSID processUser);

    // The one line that says why no log file line is written.
    static std::string Describe(const Result& result);
    // What a result says of its element, for such a line: "<element> is ...".
    static std::string Explain(const Result& result);

    // What one element shows, read as the walk opens it (relative to its
    // parent's handle, following no link, waiting on no oplock), before
    // anything is judged of it.
    struct Facts {
        bool reparsePoint = false;  // a junction, link or mount point, by its name or through its handle
        bool directory = false;
        DWORD links = 1;            // the names a file has
        bool elsewhere = false;     // its handle is not where the element must be: a link was followed
        std::wstring reached;       // where its handle is, every link resolved
        std::vector<BYTE> owner;    // a self-relative descriptor that holds its owner
    };
    struct Element {
        std::wstring path;
        Facts facts;
    };
    // Who may own an element (the log chain's rule is CTrustedOwner::IsTrusted).
    using OwnerRule = bool (*)(PSID owner, PSID processUser);
    // Pure: what refuses one element, in the order the walk judges it: a
    // junction, link or mount point, a second name of a file, a place elsewhere,
    // an owner that trusted does not accept; Sound when nothing does.
    static Result Judge(const Element& element, OwnerRule trusted, PSID processUser);
    // Reads the chain of a path from its base to its last element, each level
    // opened relative to the one above as Prepare opens it, and changes and
    // judges nothing: elements receives each level reached. The reading ends
    // at a reparse point, through which nothing is opened. Missing, Oplocked or
    // Unverified for a level that is not there or cannot be read, else Sound.
    static Result Read(const std::wstring& path, std::vector<Element>& elements);

    // What a preparation may change: it makes missing folders only. A null
    // member changes nothing. element is the full path, for the record; the
    // change happens relative to parent.
    using MakeFolderFn = DWORD (*)(HANDLE parent, const wchar_t* element, PSECURITY_DESCRIPTOR descriptor);
    struct Changes {
        MakeFolderFn makeFolder = nullptr;  // makes one missing folder with the descriptor given
    };
    // The system's: a folder made relative to its checked parent.
    static DWORD MakeFolder(HANDLE parent, const wchar_t* element, PSECURITY_DESCRIPTOR descriptor);

    // What a check leaves for the lines: the log file's folder, held open once
    // checked, the file's name in it, and where the file must be found.
    struct Folder {
        CUniqueHandle handle;   // empty when the folder is not there
        std::wstring name;      // the file's name
        std::wstring path;      // the file's full path, for the notices
        std::wstring finalPath; // where the file's handle must be
    };

    // Walks the chain from its base, each level opened relative to the one
    // above: makes the folders that are missing, each with the access list,
    // checks every level before it makes or enters the next, refuses the
    // service's own folders that let others change them, then checks the file
    // when it exists. The service's own folders are those below the chain's
    // first: the first, under ProgramData the maker's, is shared with its other
    // software and keeps its list. folder receives the file's
    // name and path, and the handle of its folder when the chain is sound and
    // the folder there. Check changes nothing.
    static Result Prepare(const std::wstring& path, const Changes& changes, Folder* folder = nullptr);
    static Result Check(const std::wstring& path, Folder* folder = nullptr) { return Prepare(path, Changes(), folder); }

    // What a line's check keeps for the next: the file (by its index on the
    // volume) last found at the log file's own path with a trusted owner.
    struct TrustedFile {
        bool known = false;
        LONGLONG index = 0;
    };

    // The log file opened for one line, for appending, relative to the checked
    // folder: made there when missing, a link of its name opened as itself. The
    // file's handle is checked like any element: no reparse point, one name,
    // where the folder's check says it must be, and a trusted owner. The owner
    // is read again only when the handle's file is not the trusted one: a file's
    // owner can be changed by none but its owner, the system and the
    // administrators. file holds the handle only when the result is Sound.
    static Result OpenForLine(const Folder& folder, TrustedFile& trusted, CUniqueHandle& file);

    // What the logger does before it opens the file: the chain is checked at the
    // path setting; a chain refused then holds until the next one (the next
    // start of the process). A line that
    // the file's handle refuses is followed by a check before the next open; a
    // line that finds no file or cannot write it is followed by a check too,
    // while the lines meanwhile keep trying their open. Checks run no sooner than
    // kRecheckMs after the last, so a chain that stays refused, unreadable or
    // locked costs a check per interval instead of one per line. Each finding is
    // told once from the first line it stops until a line is written again.
    // Pure: the caller says what time it is.
    class CGate {
    public:
        enum class Step {
            Open,     // open the file
            Check,    // check the chain, then open if it passes
            Prepare,  // the chain is not finished: make what it lacks, check, open
            Skip,     // write no file line now
        };
        static constexpr ULONGLONG kRecheckMs = 1000;

        // A new path: nothing refused, nothing told, nothing made yet.
        void Reset();
        Step Next(ULONGLONG nowMs) const;
        // The result of the path setting's preparation or of a later check; true
        // when the debugger output is to be told why no file line is written.
        bool Take(const Result& result, ULONGLONG nowMs);
        // The result of a line's OpenForLine and write: Sound when the line was
        // written. True as for Take.
        bool Line(const Result& result);

    private:
        bool Tell(Finding finding);

        bool m_refused = false;     // refused at the path setting
        bool m_checkFirst = false;  // no open before a check passes
        bool m_recheck = false;     // a check is due, lines open meanwhile
        bool m_prepared = false;
        unsigned m_told = 0;  // the findings told since the last line written
        ULONGLONG m_notBeforeMs = 0;
    };
};
