// The log file's folders: made with the logger's own access list, and no line
// written through a chain that someone else prepared.
#include "CClock.h"
#include "CLogFolderChain.h"
#include "CTrustedOwner.h"
#include "Handles.h"
#include "LogCapture.h"
#include "Logger.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <winioctl.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <thread>

namespace {
const wchar_t kLogFile[] = L"C:\\ProgramData\\Orvane\\Tarvo\\Debug\\Log.txt";
const wchar_t kRoot[] = L"C:\\ProgramData\\Orvane";
const wchar_t kTarvo[] = L"C:\\ProgramData\\Orvane\\Tarvo";
const wchar_t kDebug[] = L"C:\\ProgramData\\Orvane\\Tarvo\\Debug";
// Where a change after the first line puts the log folder and the log file meanwhile.
const wchar_t kDebugKept[] = L"C:\\ProgramData\\Orvane\\Tarvo\\Debug.kept";
const wchar_t kLogKept[] = L"C:\\ProgramData\\Orvane\\Tarvo\\Debug\\Log.kept";
// Where a prepared link points: a folder, or the file that a hard link names too.
const wchar_t kPrepared[] = L"C:\\TarvoPrepared";
const wchar_t kVictim[] = L"C:\\TarvoPrepared\\Log.txt";
// A log path of a test's own, outside ProgramData.
const wchar_t kOtherRoot[] = L"C:\\TarvoLogTest";
const wchar_t kOtherLog[] = L"C:\\TarvoLogTest\\Debug\\Log.txt";

CUniqueLocal Sid(const wchar_t* text) {
    CUniqueLocal sid;
    ConvertStringSidToSidW(text, sid.Put());
    return sid;
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

using testsupport::RunUnix;
using testsupport::UnixPath;

// Removes a tree without following a link in it: the link goes, what it names stays.
void RemoveTree(const std::wstring& path) {
    if (!UnixPath(path).empty()) {
        // Wine's own calls follow a Unix link: DeleteFileW on one deletes its target.
        RunUnix("rm -rf '" + UnixPath(path) + "'");
        return;
    }
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        WIN32_FIND_DATAW entry;
        HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &entry);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                std::wstring name = entry.cFileName;
                if (name != L"." && name != L"..") RemoveTree(path + L"\\" + name);
            } while (FindNextFileW(find, &entry));
            FindClose(find);
        }
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveDirectoryW(path.c_str());
    else
        DeleteFileW(path.c_str());
}

bool MakeFolder(const std::wstring& path) { return CreateDirectoryW(path.c_str(), nullptr) != FALSE; }

// A junction where Windows makes one; under Wine, which cannot, a Unix link in the prefix.
bool MakeFolderLink(const std::wstring& link, const std::wstring& target) {
    if (MakeFolder(link)) {
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

// A symbolic link to a file where this system lets the test make one; under Wine, a Unix link.
bool MakeFileLink(const std::wstring& link, const std::wstring& target) {
    if (CreateSymbolicLinkW(link.c_str(), target.c_str(), 0) && Exists(link)) return true;
    std::string unixLink = UnixPath(link);
    return !unixLink.empty() && RunUnix("ln -s '" + UnixPath(target) + "' '" + unixLink + "'") && Exists(link);
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

bool OwnedByAnother(const std::wstring& path) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                              nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    CUniqueLocal keep(descriptor);
    return !CTrustedOwner::IsTrusted(owner, ProcessUser().Get());
}

// Another user's folder or file: under Wine a Unix owner other than the prefix's user.
bool GiveToAnotherUser(const std::wstring& path) {
    std::string unixPath = UnixPath(path);
    return !unixPath.empty() && RunUnix("chown nobody '" + unixPath + "'") && OwnedByAnother(path);
}

bool WriteText(const std::wstring& path, const std::string& text) {
    return testsupport::WriteFileBytes(path, std::vector<BYTE>(text.begin(), text.end()));
}

// Every name below a folder with its file's content; a folder link is listed, not entered.
std::map<std::wstring, std::string> Snapshot(const std::wstring& folder) {
    std::map<std::wstring, std::string> entries;
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return entries;
    do {
        std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        std::wstring path = folder + L"\\" + name;
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            entries[path] = testsupport::ReadFileText(path);
        } else {
            entries[path + L"\\"] = "";
            if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                for (const auto& below : Snapshot(path)) entries.insert(below);
        }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    return entries;
}

struct Ace {
    const wchar_t* sid;
    ACCESS_MASK mask;
    BYTE flags;
};

std::vector<Ace> ExpectedAces(BYTE flags) {
    return {{L"S-1-5-18", FILE_ALL_ACCESS, flags}, {L"S-1-5-32-544", FILE_ALL_ACCESS, flags},
            {L"S-1-5-32-545", FILE_GENERIC_READ, flags}};
}

void ExpectAces(PACL acl, const std::vector<Ace>& expected, const std::wstring& where) {
    ASSERT_NE(acl, nullptr) << where;
    ASSERT_EQ(acl->AceCount, expected.size()) << where;
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        ASSERT_TRUE(GetAce(acl, i, reinterpret_cast<void**>(&ace)));
        EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE) << where << " entry " << i;
        EXPECT_EQ(ace->Header.AceFlags, expected[i].flags) << where << " entry " << i;
        EXPECT_EQ(ace->Mask, expected[i].mask) << where << " entry " << i;
        EXPECT_TRUE(EqualSid(&ace->SidStart, Sid(expected[i].sid).Get())) << where << " entry " << i;
    }
}

// The logger's own list as a descriptor holds it: protected, the three entries
// passed down, and no owner, so that the maker's default applies.
void ExpectTheLoggersList(PSECURITY_DESCRIPTOR descriptor, const std::wstring& where) {
    ASSERT_NE(descriptor, nullptr) << where;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision)) << where;
    EXPECT_TRUE(control & SE_DACL_PROTECTED) << where << ": nothing taken from the parent";
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL acl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted)) << where;
    EXPECT_TRUE(present) << where;
    ExpectAces(acl, ExpectedAces(OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE), where);
    PSID owner = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorOwner(descriptor, &owner, &defaulted)) << where;
    EXPECT_EQ(owner, nullptr) << where << ": the maker's own default owner";
}

CUniqueLocal Descriptor(const std::wstring& sddl) {
    CUniqueLocal descriptor;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, descriptor.Put(), nullptr);
    return descriptor;
}

// A self-relative copy, to be looked at after the call that lent it.
std::vector<BYTE> CopyDescriptor(PSECURITY_DESCRIPTOR descriptor) {
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (descriptor == nullptr || !GetSecurityDescriptorControl(descriptor, &control, &revision)) return {};
    if (control & SE_SELF_RELATIVE) {
        const BYTE* bytes = static_cast<const BYTE*>(descriptor);
        return std::vector<BYTE>(bytes, bytes + GetSecurityDescriptorLength(descriptor));
    }
    DWORD size = 0;
    MakeSelfRelativeSD(descriptor, nullptr, &size);
    std::vector<BYTE> copy(size);
    if (size == 0 || !MakeSelfRelativeSD(descriptor, copy.data(), &size)) return {};
    return copy;
}

// What the path setting's folder calls receive, recorded; each call then does
// what the system's would, or the setting aside fails with the error chosen.
struct FolderCall {
    std::wstring folder;
    std::vector<BYTE> descriptor;  // empty when none was given
    PSECURITY_DESCRIPTOR Get() const { return descriptor.empty() ? nullptr : const_cast<BYTE*>(descriptor.data()); }
};

class CFolderCalls {
public:
    explicit CFolderCalls(DWORD setAsideError = ERROR_SUCCESS) {
        Clear();
        SetAsideError() = setAsideError;
        static CLogFolderChain::Changes changes;
        changes.makeFolder = &Make;
        changes.setAside = &SetAside;
        LogSetFolderChanges(&changes);
    }
    ~CFolderCalls() { LogSetFolderChanges(nullptr); }

    static std::vector<FolderCall>& Made() {
        static std::vector<FolderCall> calls;
        return calls;
    }
    static std::vector<FolderCall>& SetAsideCalls() {
        static std::vector<FolderCall> calls;
        return calls;
    }
    static std::vector<std::wstring> Folders(const std::vector<FolderCall>& calls) {
        std::vector<std::wstring> folders;
        for (const FolderCall& call : calls) folders.push_back(call.folder);
        return folders;
    }
    static void Clear() {
        Made().clear();
        SetAsideCalls().clear();
    }

private:
    static DWORD& SetAsideError() {
        static DWORD error = ERROR_SUCCESS;
        return error;
    }
    static DWORD Make(HANDLE parent, const wchar_t* folder, PSECURITY_DESCRIPTOR descriptor) {
        Made().push_back({folder, CopyDescriptor(descriptor)});
        return CLogFolderChain::MakeFolder(parent, folder, descriptor);
    }
    static DWORD SetAside(HANDLE parent, HANDLE handle, const wchar_t* folder) {
        SetAsideCalls().push_back({folder, {}});
        if (SetAsideError() != ERROR_SUCCESS) return SetAsideError();
        return CLogFolderChain::SetAside(parent, handle, folder);
    }
};

bool GrantsEveryone(PACL acl) {
    for (DWORD i = 0; acl && i < acl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (GetAce(acl, i, reinterpret_cast<void**>(&ace)) && ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
            IsWellKnownSid(&ace->SidStart, WinWorldSid))
            return true;
    }
    return false;
}

// Whether this file system keeps the access list given at creation. Wine keeps only
// what its Unix mode bits can say: an entry for SYSTEM, the owner and Everyone, never
// one for Users.
bool AccessListsAreKept() {
    const wchar_t probe[] = L"C:\\TarvoAclProbe";
    RemoveDirectoryW(probe);
    PSECURITY_DESCRIPTOR given = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;OICI;FR;;;BU)", SDDL_REVISION_1, &given, nullptr);
    CUniqueLocal keepGiven(given);
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), given, FALSE};
    if (!CreateDirectoryW(probe, &attributes)) return false;
    PACL acl = nullptr;
    PSECURITY_DESCRIPTOR read = nullptr;
    GetNamedSecurityInfoW(probe, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &acl, nullptr, &read);
    CUniqueLocal keepRead(read);
    ACCESS_ALLOWED_ACE* ace = nullptr;
    bool kept = acl != nullptr && acl->AceCount == 1 && GetAce(acl, 0, reinterpret_cast<void**>(&ace)) &&
                IsWellKnownSid(&ace->SidStart, WinBuiltinUsersSid);
    RemoveDirectoryW(probe);
    return kept;
}

// Until one interval between the logger's checks has passed on its clock.
bool PassOneCheckInterval() {
    const ULONGLONG until = CClock::TickCount64() + CLogFolderChain::CGate::kRecheckMs;
    return testsupport::WaitUntil([&] { return CClock::TickCount64() >= until; }, std::chrono::milliseconds(5000));
}

class LoggerFolders : public ::testing::Test {
protected:
    void SetUp() override {
        SetCurrentDirectoryW(L"C:\\windows\\system32");
        Clean();
    }
    void TearDown() override {
        LogSetFlags(0);
        Clean();
    }
    static void Clean() {
        RemoveTree(kRoot);
        RemoveTree(kPrepared);
        RemoveTree(kOtherRoot);
    }
};
}  // namespace

TEST(LogFolderChain, TheFolderDescriptorIsProtectedAndPassedDown) {
    PSECURITY_DESCRIPTOR descriptor = CLogFolderChain::FolderDescriptor();
    ASSERT_NE(descriptor, nullptr);
    EXPECT_EQ(CLogFolderChain::FolderDescriptor(), descriptor) << "built once";
    ExpectTheLoggersList(descriptor, L"descriptor");
}

TEST(LogFolderChain, TheChainBeginsBelowProgramDataElseBelowTheRoot) {
    struct Case {
        const wchar_t* path;
        const wchar_t* base;
        std::vector<std::wstring> chain;
    } cases[] = {
        {L"C:\\ProgramData\\Orvane\\Tarvo\\Debug\\Log.txt", L"C:\\ProgramData",
         {L"C:\\ProgramData\\Orvane", L"C:\\ProgramData\\Orvane\\Tarvo", L"C:\\ProgramData\\Orvane\\Tarvo\\Debug",
          L"C:\\ProgramData\\Orvane\\Tarvo\\Debug\\Log.txt"}},
        {L"c:\\programdata\\Log.txt", L"c:\\programdata", {L"c:\\programdata\\Log.txt"}},
        {L"C:\\ProgramDataX\\Log.txt", L"C:\\", {L"C:\\ProgramDataX", L"C:\\ProgramDataX\\Log.txt"}},
        {L"D:\\ProgramData\\Log.txt", L"D:\\", {L"D:\\ProgramData", L"D:\\ProgramData\\Log.txt"}},
        {L"Z:\\work\\logs\\Log.txt", L"Z:\\", {L"Z:\\work", L"Z:\\work\\logs", L"Z:\\work\\logs\\Log.txt"}},
        {L"C:\\a\\\\b\\Log.txt", L"C:\\", {L"C:\\a", L"C:\\a\\b", L"C:\\a\\b\\Log.txt"}},
        {L"C:\\Log.txt", L"C:\\", {L"C:\\Log.txt"}},
        {L"\\\\server\\share\\logs\\Log.txt", L"\\\\server\\share\\",
         {L"\\\\server\\share\\logs", L"\\\\server\\share\\logs\\Log.txt"}},
        {L"\\\\?\\C:\\ProgramData\\Orvane\\Log.txt", L"\\\\?\\C:\\ProgramData",
         {L"\\\\?\\C:\\ProgramData\\Orvane", L"\\\\?\\C:\\ProgramData\\Orvane\\Log.txt"}},
        {L"\\\\?\\UNC\\server\\share\\Log.txt", L"\\\\?\\UNC\\server\\share\\", {L"\\\\?\\UNC\\server\\share\\Log.txt"}},
        {L"\\\\server", L"", {}},
        {L"Log.txt", L"", {}},
    };
    for (const Case& c : cases) {
        std::string path(c.path, c.path + wcslen(c.path));
        EXPECT_EQ(CLogFolderChain::Chain(c.path), c.chain) << path;
        EXPECT_EQ(CLogFolderChain::Base(c.path), c.base) << path;
    }
}

// Where each element must turn out to be: below what the base's own handle
// shows, so a ProgramData moved elsewhere through a link still decides by the
// fixed names below it.
TEST(LogFolderChain, ElementsAreExpectedBelowTheBasesOwnFinalPath) {
    struct Case {
        const wchar_t* baseFinal;
        const wchar_t* base;
        const wchar_t* element;
        const wchar_t* expected;
    } cases[] = {
        {L"\\\\?\\C:\\ProgramData", L"C:\\ProgramData", L"C:\\ProgramData\\Orvane\\Tarvo",
         L"C:\\ProgramData\\Orvane\\Tarvo"},
        {L"\\\\?\\D:\\Data\\ProgramData", L"C:\\ProgramData", L"C:\\ProgramData\\Orvane\\Tarvo\\Debug\\Log.txt",
         L"D:\\Data\\ProgramData\\Orvane\\Tarvo\\Debug\\Log.txt"},
        {L"\\\\?\\UNC\\server\\share\\PD", L"C:\\ProgramData", L"C:\\ProgramData\\Orvane",
         L"\\\\server\\share\\PD\\Orvane"},
        {L"\\\\?\\C:\\", L"C:\\", L"C:\\TarvoLogTest\\Debug", L"C:\\TarvoLogTest\\Debug"},
        {L"\\\\?\\D:\\Data\\ProgramData", L"C:\\ProgramData", L"C:\\ProgramData", L"D:\\Data\\ProgramData"},
        {L"\\\\?\\D:\\Data", L"C:\\ProgramData", L"C:\\Other\\Log.txt", L"C:\\Other\\Log.txt"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CLogFolderChain::ExpectedFinalPath(c.baseFinal, c.base, c.element), c.expected)
            << std::string(c.element, c.element + wcslen(c.element));
}

// The two rules on a folder's list, row by row on the same lists. One of the
// service's own folders is set aside for a fresh one when it lets anyone but
// SYSTEM, the administrators and the process's own user do more than read,
// list and traverse, on the folder or on what is made in it. The maker's folder,
// which keeps its list, refuses the chain when it lets anyone else delete or
// rename what it holds, or change a list, there or below.
TEST(LogFolderChain, WhatSetsAnOwnFolderAsideAndWhatRefusesTheMakersFolder) {
    CUniqueLocal user = Sid(L"S-1-5-21-1-2-3-1000");
    struct Case {
        const wchar_t* sddl;
        bool setAside;
        bool refused;
        const char* what;
    } cases[] = {
        {L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)", false, false, "the logger's own list"},
        {L"D:(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIID;0x1200a9;;;BU)", false, false, "Users read, list and traverse"},
        {L"D:(A;OICI;GRGX;;;BU)(A;OICI;GRGX;;;WD)", false, false, "generic read and execute"},
        {L"D:(A;OICI;FA;;;S-1-5-21-1-2-3-1000)", false, false, "the process's own user"},
        {L"D:(D;OICI;FA;;;WD)(A;OICI;FR;;;BU)", false, false, "a denial only takes away"},
        {L"D:P", false, false, "an empty list lets nobody do anything"},
        {L"D:AI(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIIOID;GA;;;CO)(A;OICIID;0x1200a9;;;BU)(A;CIID;0x116;;;BU)",
         true, false, "the list C:\\ProgramData passes down"},
        {L"D:(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIID;0x1200a9;;;BU)(A;CIID;0x2;;;BU)", true, false, "Users add files"},
        {L"D:(A;CIID;0x4;;;BU)", true, false, "Users add folders"},
        {L"D:(A;OICIID;FA;;;SY)(A;OICIIOID;GA;;;CO)", true, false,
         "an inherited CREATOR OWNER entry: what a user makes in it is the user's own"},
        {L"D:(A;OICIIO;FW;;;BU)", true, false, "Users write what is made in it"},
        {L"D:(A;;GW;;;AU)", true, false, "Authenticated Users generic write"},
        {L"D:(A;;SD;;;BU)", true, false, "Users delete the folder itself, not what it holds"},
        {L"D:(A;;0x100;;;BU)", true, false, "Users change its attributes"},
        {L"D:(A;;0x40;;;BU)", true, true, "Users delete what it holds"},
        {L"D:(A;CIIO;0x40;;;BU)", true, true, "Users delete what its folders hold"},
        {L"D:(A;OICIIO;SD;;;BU)", true, true, "Users delete, passed down"},
        {L"D:(A;OICI;0x1301bf;;;BU)", true, true, "Users modify, passed down"},
        {L"D:(A;;WD;;;BU)", true, true, "Users change its list"},
        {L"D:(A;OICI;WD;;;BU)", true, true, "Users change lists, passed down"},
        {L"D:(A;;WO;;;BU)", true, true, "Users take it"},
        {L"D:(A;;GA;;;BU)", true, true, "Users generic all"},
        {L"D:(A;OICI;FA;;;WD)", true, true, "Everyone full control"},
        {L"D:(A;;FA;;;S-1-5-21-1-2-3-1001)", true, true, "another user"},
        {L"O:SY", true, true, "no list at all"},
    };
    for (const Case& c : cases) {
        CUniqueLocal descriptor = Descriptor(c.sddl);
        ASSERT_TRUE(descriptor) << c.what;
        EXPECT_EQ(CLogFolderChain::GrantsOthersMoreThanRead(descriptor.Get(), user.Get()), c.setAside) << c.what;
        EXPECT_EQ(CLogFolderChain::LetsOthersReplaceWhatItHolds(descriptor.Get(), user.Get()), c.refused) << c.what;
    }
    EXPECT_TRUE(CLogFolderChain::GrantsOthersMoreThanRead(nullptr, user.Get())) << "no descriptor";
    EXPECT_TRUE(CLogFolderChain::LetsOthersReplaceWhatItHolds(nullptr, user.Get())) << "no descriptor";
}

static void PrintTo(CLogFolderChain::CGate::Step step, std::ostream* out) {
    static const char* const names[] = {"Open", "Check", "Prepare", "Skip"};
    *out << names[static_cast<int>(step)];
}

// The logger's decisions before an open, event by event: when it opens, checks,
// finishes the folders or skips, and which results it tells.
TEST(LogFolderChain, TheGateChecksAsTheRuleNeedsAndTellsEachFindingOncePerPath) {
    using Finding = CLogFolderChain::Finding;
    using Step = CLogFolderChain::CGate::Step;
    const ULONGLONG interval = CLogFolderChain::CGate::kRecheckMs;
    enum Kind { Set, Take, Line, Next };
    struct Event {
        Kind kind;
        ULONGLONG at;
        Finding finding;  // Take, Line
        bool flag;        // Take, Line: told
        Step step;        // Next
    };
    auto take = [](ULONGLONG at, Finding finding, bool told) { return Event{Take, at, finding, told, Step::Open}; };
    // A path setting and the result of its preparation.
    auto set = [&](ULONGLONG at, Finding finding, bool told) {
        return std::vector<Event>{{Set, at, Finding::Sound, false, Step::Open}, take(at, finding, told)};
    };
    // A line's open and write: Sound when written, Unopened when there was no
    // file, Oplocked or Unwritten when it was lost so, else what its handle showed.
    auto line = [](Finding finding, bool told) { return Event{Line, 0, finding, told, Step::Open}; };
    auto written = line(Finding::Sound, false);
    auto next = [](ULONGLONG at, Step step) { return Event{Next, at, Finding::Sound, false, step}; };
    auto join = [](std::vector<Event> a, const std::vector<Event>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    struct Case {
        const char* name;
        std::vector<Event> events;
    } cases[] = {
        {"a sound chain opens without checks",
         join(set(0, Finding::Sound, false), {next(0, Step::Open), written, next(50000, Step::Open), written})},
        {"a failed open is told once and checked once per interval; lines open meanwhile",
         join(set(0, Finding::Sound, false),
              {next(50000, Step::Open), line(Finding::Unopened, true), next(50001, Step::Check),
               take(50001, Finding::Sound, false), next(50001, Step::Open), line(Finding::Unopened, false),
               next(50002, Step::Open), line(Finding::Unopened, false), next(50001 + interval - 1, Step::Open),
               next(50001 + interval, Step::Check), take(50001 + interval, Finding::Sound, false),
               next(50001 + interval, Step::Open), written, line(Finding::Unopened, true)})},
        {"a failed open right after a check waits for the interval before the next",
         join(set(0, Finding::Sound, false),
              {line(Finding::Unopened, true), next(10, Step::Open), next(interval, Step::Check)})},
        {"after a handle refusal the next step is the check, then a skip until the interval",
         join(set(0, Finding::Sound, false),
              {next(5000, Step::Open), line(Finding::Elsewhere, true), next(5000, Step::Check),
               take(5000, Finding::Sound, false), next(5000, Step::Open), line(Finding::Elsewhere, false),
               next(5001, Step::Skip), next(5000 + interval - 1, Step::Skip), next(5000 + interval, Step::Check),
               take(5000 + interval, Finding::SecondName, true), next(5001 + interval, Step::Skip),
               next(5000 + 2 * interval, Step::Check), take(5000 + 2 * interval, Finding::Sound, false),
               next(5000 + 2 * interval, Step::Open), written, line(Finding::Elsewhere, true)})},
        {"a handle refusal right after a check waits for the interval",
         join(set(0, Finding::Sound, false),
              {line(Finding::ForeignOwner, true), next(10, Step::Skip), next(interval, Step::Check)})},
        {"each finding of a line is told once until a line is written",
         join(set(0, Finding::Sound, false),
              {line(Finding::Oplocked, true), next(1, Step::Open), line(Finding::Oplocked, false),
               line(Finding::Unwritten, true), line(Finding::Unopened, true), line(Finding::Unwritten, false),
               next(2, Step::Open), written, line(Finding::Oplocked, true), line(Finding::Elsewhere, true),
               line(Finding::SecondName, true), line(Finding::Unverified, true), line(Finding::Elsewhere, false)})},
        {"a refusal is told and holds whatever the time, until the next path setting",
         join(join(set(0, Finding::ReparsePoint, true), {next(0, Step::Skip), next(10 * interval, Step::Skip)}),
              join(set(20 * interval, Finding::Sound, false), {next(20 * interval, Step::Open)}))},
        {"a maker's folder that lets others replace what it holds refuses like a link",
         join(set(0, Finding::Replaceable, true), {next(interval, Step::Skip), next(9 * interval, Step::Skip)})},
        {"a second name refuses like a link",
         join(set(0, Finding::SecondName, true), {next(interval, Step::Skip)})},
        {"a setting that cannot be checked is told once, tried once per interval, and finishes its folders",
         join(set(100, Finding::Unverified, true),
              {next(100, Step::Skip), next(100 + interval - 1, Step::Skip), next(100 + interval, Step::Prepare),
               take(100 + interval, Finding::Unverified, false), next(100 + 2 * interval - 1, Step::Skip),
               next(100 + 2 * interval, Step::Prepare), take(100 + 2 * interval, Finding::Sound, false),
               next(100 + 2 * interval, Step::Open), written, next(100 + 2 * interval, Step::Open)})},
        {"unchecked after a failed open: checked again, no folders made, told once per setting",
         join(join(set(0, Finding::Sound, false),
                   {line(Finding::Unopened, true), next(interval, Step::Check), take(interval, Finding::Unverified, true),
                    next(2 * interval - 1, Step::Skip), next(2 * interval, Step::Check),
                    take(2 * interval, Finding::Sound, false), line(Finding::Unopened, false),
                    next(2 * interval + 1, Step::Open), next(3 * interval, Step::Check),
                    take(3 * interval, Finding::Unverified, false)}),
              set(5 * interval, Finding::Unverified, true))},
        {"a refusal found once the chain can be checked is told as well",
         join(set(0, Finding::Unverified, true),
              {next(interval, Step::Prepare), take(interval, Finding::ForeignOwner, true), next(9 * interval, Step::Skip)})},
        {"a refusal found after a failed open is told once, checked again each interval, and ends when it passes",
         join(set(0, Finding::Sound, false),
              {line(Finding::Unopened, true), next(interval, Step::Check), take(interval, Finding::ReparsePoint, true),
               next(interval + 1, Step::Skip), next(2 * interval, Step::Check),
               take(2 * interval, Finding::ReparsePoint, false), next(3 * interval, Step::Check),
               take(3 * interval, Finding::Sound, false), next(3 * interval, Step::Open), written,
               line(Finding::Unopened, true), next(20 * interval, Step::Check),
               take(20 * interval, Finding::ReparsePoint, true)})},
        {"an own folder that cannot be set aside is told once and prepared again each interval",
         join(join(set(0, Finding::Unprotected, true),
                   {next(0, Step::Skip), next(interval, Step::Prepare), take(interval, Finding::Unprotected, false),
                    next(2 * interval, Step::Prepare), take(2 * interval, Finding::Sound, false),
                    next(2 * interval, Step::Open)}),
              join(set(10 * interval, Finding::Sound, false),
                   {line(Finding::Unopened, true), next(11 * interval, Step::Check),
                    take(11 * interval, Finding::Unprotected, true), next(12 * interval, Step::Prepare)}))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CLogFolderChain::CGate gate;
        for (size_t i = 0; i < c.events.size(); ++i) {
            const Event& e = c.events[i];
            switch (e.kind) {
            case Set: gate.Reset(); break;
            case Take: {
                CLogFolderChain::Result result;
                result.finding = e.finding;
                EXPECT_EQ(gate.Take(result, e.at), e.flag) << "event " << i;
                break;
            }
            case Line: {
                CLogFolderChain::Result result;
                result.finding = e.finding;
                EXPECT_EQ(gate.Line(result), e.flag) << "event " << i;
                break;
            }
            case Next: EXPECT_EQ(gate.Next(e.at), e.step) << "event " << i << " at " << e.at; break;
            }
        }
    }
}

// Whatever the file system keeps, the maker receives the logger's list for each
// folder it makes; where lists are kept, the folders and the file carry it too.
TEST_F(LoggerFolders, FoldersMadeByTheLoggerCarryItsAccessList) {
    CFolderCalls calls;
    LogSetFilePath(kLogFile);
    LogSetFlags(LOG_FLAG_FILE);
    LogWrite("main", "line", 0);
    ASSERT_NE(testsupport::ReadFileText(kLogFile).find("INFO\tline"), std::string::npos);

    ASSERT_EQ(CFolderCalls::Folders(CFolderCalls::Made()), (std::vector<std::wstring>{kRoot, kTarvo, kDebug}));
    for (const FolderCall& call : CFolderCalls::Made()) ExpectTheLoggersList(call.Get(), call.folder);
    EXPECT_EQ(CFolderCalls::Folders(CFolderCalls::SetAsideCalls()), std::vector<std::wstring>())
        << "a folder made with the list is not set aside";

    bool kept = AccessListsAreKept();
    if (!kept) std::printf("access lists are not kept here: what the maker received is compared, and the mode bits\n");
    for (const wchar_t* path : {kRoot, kTarvo, kDebug, kLogFile}) {
        PACL acl = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_EQ(GetNamedSecurityInfoW(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &acl,
                                        nullptr, &descriptor),
                  static_cast<DWORD>(ERROR_SUCCESS));
        CUniqueLocal keep(descriptor);
        bool isFile = path == kLogFile;
        if (kept) {
            SECURITY_DESCRIPTOR_CONTROL control = 0;
            DWORD revision = 0;
            GetSecurityDescriptorControl(descriptor, &control, &revision);
            if (path == kRoot) {
                EXPECT_TRUE(control & SE_DACL_PROTECTED);
                ExpectAces(acl, ExpectedAces(OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE), path);
            } else {
                ExpectAces(acl, ExpectedAces(isFile ? INHERITED_ACE : OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | INHERITED_ACE), path);
            }
        } else if (!isFile) {
            // Wine turns a list without Everyone into mode bits that give others nothing.
            EXPECT_FALSE(GrantsEveryone(acl)) << std::string(path, path + wcslen(path));
        }
    }
}

TEST_F(LoggerFolders, AnotherPathIsMadeAndWrittenLikeTheFixedOne) {
    CLogCapture capture(0);
    LogSetFilePath(kOtherLog);
    LogSetFlags(LOG_FLAG_DEBUG | LOG_FLAG_FILE);
    LogWrite("main", "elsewhere", 0);
    EXPECT_NE(testsupport::ReadFileText(kOtherLog).find(" - INFO\telsewhere\r\n"), std::string::npos);
    EXPECT_EQ(CLogCapture::Count("No log file"), 0u);
}

// Each case prepares the chain as a user could before logging is turned on, then
// sets the path and logs: the lines reach the debugger output, nothing is written
// through the chain, what was prepared stays as it was, and one line says why.
// A case this system cannot prepare is skipped on its own, and shows as skipped.
namespace {
struct PreparedChain {
    const char* name;
    const wchar_t* logFile;
    std::function<bool()> prepare;
    const wchar_t* watched;  // the folder whose content must not change
    std::string notice;
};

void PrintTo(const PreparedChain& c, std::ostream* out) { *out << c.name; }

const PreparedChain kPreparedChains[] = {
    {"TheProductFolderIsALink", kLogFile, [] { return MakeFolder(kPrepared) && MakeFolderLink(kRoot, kPrepared); },
     kPrepared, "ERROR\tNo log file: C:\\ProgramData\\Orvane is a junction, link or mount point"},
    {"TheLogFolderIsALinkToAFolderWithALogTxt", kLogFile,
     [] {
         return MakeFolder(kPrepared) && WriteText(kVictim, "system data\r\n") && MakeFolder(kRoot) &&
                MakeFolder(kTarvo) && MakeFolderLink(kDebug, kPrepared);
     },
     kPrepared, "ERROR\tNo log file: C:\\ProgramData\\Orvane\\Tarvo\\Debug is a junction, link or mount point"},
    {"TheProductFolderBelongsToAnotherUser", kLogFile, [] { return MakeFolder(kRoot) && GiveToAnotherUser(kRoot); },
     kRoot, "ERROR\tNo log file: C:\\ProgramData\\Orvane is owned by "},
    {"TheLogFileBelongsToAnotherUser", kLogFile,
     [] {
         return MakeFolder(kRoot) && MakeFolder(kTarvo) && MakeFolder(kDebug) &&
                WriteText(kLogFile, "someone's data\r\n") && GiveToAnotherUser(kLogFile);
     },
     kDebug, "ERROR\tNo log file: C:\\ProgramData\\Orvane\\Tarvo\\Debug\\Log.txt is owned by "},
    {"TheLogFileIsASecondNameOfAnotherFile", kLogFile,
     [] {
         return MakeFolder(kPrepared) && WriteText(kVictim, "system data\r\n") && MakeFolder(kRoot) &&
                MakeFolder(kTarvo) && MakeFolder(kDebug) && CreateHardLinkW(kLogFile, kVictim, nullptr);
     },
     kPrepared, "ERROR\tNo log file: C:\\ProgramData\\Orvane\\Tarvo\\Debug\\Log.txt has a second name (hard link)"},
    {"AFolderOfAPathOutsideProgramDataIsALink", kOtherLog,
     [] { return MakeFolder(kPrepared) && MakeFolderLink(kOtherRoot, kPrepared); }, kPrepared,
     "ERROR\tNo log file: C:\\TarvoLogTest is a junction, link or mount point"},
};

class LoggerPreparedChain : public LoggerFolders, public ::testing::WithParamInterface<PreparedChain> {};
}  // namespace

TEST_P(LoggerPreparedChain, NoLineGoesThroughIt) {
    const PreparedChain& c = GetParam();
    if (!c.prepare()) GTEST_SKIP() << "this system cannot prepare it: " << c.name;
    std::map<std::wstring, std::string> before = Snapshot(c.watched);
    {
        CLogCapture capture(0);
        LogSetFilePath(c.logFile);
        LogSetFlags(LOG_FLAG_DEBUG | LOG_FLAG_FILE);
        LogWrite("main", "first", 0);
        LogWrite("main", "second", 0);
        EXPECT_EQ(CLogCapture::Count("No log file"), 1u);
        EXPECT_EQ(CLogCapture::Count(c.notice), 1u) << c.notice;
        EXPECT_TRUE(CLogCapture::HasLine("INFO\tfirst"));
        EXPECT_TRUE(CLogCapture::HasLine("INFO\tsecond"));
    }
    EXPECT_EQ(Snapshot(c.watched), before);
    EXPECT_TRUE(c.watched != kRoot || OwnedByAnother(kRoot)) << "the owner stays";
}

INSTANTIATE_TEST_SUITE_P(Prepared, LoggerPreparedChain, ::testing::ValuesIn(kPreparedChains),
                         [](const ::testing::TestParamInfo<PreparedChain>& info) { return std::string(info.param.name); });

// The folders made before logging was switched on, as an earlier installation
// may have left them. The service's own that let others change them are set
// aside, with whatever was placed in them, and made afresh; the maker's is only
// read, and refuses the chain when it lets others replace what it holds. Where
// a folder cannot be set aside: no file line and one notice.
namespace {
const wchar_t kPlanted[] = L"C:\\ProgramData\\Orvane\\Tarvo\\Debug\\planted.txt";

struct ExistingFolders {
    const char* name;
    std::vector<std::wstring> open;  // given a list that lets everyone do everything
    DWORD setAsideError;             // what setting aside returns
    std::vector<std::wstring> setAside;
    std::vector<std::wstring> made;
    std::string notice;  // none when empty; then the lines reach the file
};

void PrintTo(const ExistingFolders& c, std::ostream* out) { *out << c.name; }

const ExistingFolders kExistingFolders[] = {
    {"TarvoAndDebugOpenToEveryoneAreSetAside", {kTarvo, kDebug}, ERROR_SUCCESS, {kTarvo}, {kTarvo, kDebug}, ""},
    {"DebugOpenToEveryoneIsSetAside", {kDebug}, ERROR_SUCCESS, {kDebug}, {kDebug}, ""},
    {"OpenToEveryoneAndNotToBeSetAsideNoFileLine", {kTarvo, kDebug}, ERROR_ACCESS_DENIED, {kTarvo}, {},
     "ERROR\tNo log file: C:\\ProgramData\\Orvane\\Tarvo lets others change it and cannot be set aside, error 5"},
    {"ReadByOthersTheyStayAsTheyAre", {}, ERROR_SUCCESS, {}, {}, ""},
    {"TheMakersFolderOpenToEveryoneRefusesTheChain", {kRoot}, ERROR_SUCCESS, {}, {},
     "ERROR\tNo log file: C:\\ProgramData\\Orvane lets others delete or rename what it holds, or change its access "
     "list"},
};

// Gives a folder a list that lets everyone do everything; false where this
// system does not show such a list afterwards.
bool OpenToEveryone(const std::wstring& folder) {
    CUniqueLocal user = ProcessUser();
    CUniqueLocal userText;
    if (!user || !ConvertSidToStringSidW(user.Get(), userText.Put<wchar_t>())) return false;
    CUniqueLocal given = Descriptor(L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" +
                                    std::wstring(userText.Get<wchar_t>()) + L")(A;OICI;FA;;;WD)");
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL acl = nullptr;
    if (!given || !GetSecurityDescriptorDacl(given.Get(), &present, &acl, &defaulted) ||
        SetNamedSecurityInfoW(const_cast<wchar_t*>(folder.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, acl, nullptr) != ERROR_SUCCESS)
        return false;
    CUniqueLocal read;
    if (GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                              nullptr, read.Put()) != ERROR_SUCCESS)
        return false;
    return CLogFolderChain::GrantsOthersMoreThanRead(read.Get(), user.Get());
}

// The folder that element was set aside as, beside where it was; empty when none.
std::wstring SetAsideFolder(const std::wstring& element) {
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((element + L".set-aside-*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return L"";
    FindClose(find);
    return element.substr(0, element.find_last_of(L'\\') + 1) + entry.cFileName;
}

class LoggerExistingFolders : public LoggerFolders, public ::testing::WithParamInterface<ExistingFolders> {};
}  // namespace

TEST_P(LoggerExistingFolders, OnlyTheServicesOwnAreSetAsideAndWhatWasPlacedGoesWithThem) {
    const ExistingFolders& c = GetParam();
    for (const wchar_t* folder : {kRoot, kTarvo, kDebug}) ASSERT_TRUE(MakeFolder(folder));
    // What a user put there while the folders were open.
    ASSERT_TRUE(WriteText(kPlanted, "placed\r\n"));
    for (const std::wstring& folder : c.open)
        if (!OpenToEveryone(folder)) GTEST_SKIP() << "this system shows no such list";
    CFolderCalls calls(c.setAsideError);
    CLogCapture capture(0);
    LogSetFilePath(kLogFile);
    LogSetFlags(LOG_FLAG_DEBUG | LOG_FLAG_FILE);
    LogWrite("main", "first", 0);
    LogWrite("main", "second", 0);

    EXPECT_EQ(CFolderCalls::Folders(CFolderCalls::SetAsideCalls()), c.setAside);
    EXPECT_EQ(CFolderCalls::Folders(CFolderCalls::Made()), c.made);
    for (const FolderCall& call : CFolderCalls::Made()) ExpectTheLoggersList(call.Get(), call.folder);
    bool written = testsupport::ReadFileText(kLogFile).find("INFO\tsecond") != std::string::npos;
    EXPECT_EQ(written, c.notice.empty());
    EXPECT_EQ(CLogCapture::Count("No log file"), c.notice.empty() ? 0u : 1u);
    if (!c.notice.empty()) {
        EXPECT_EQ(CLogCapture::Count(c.notice), 1u) << c.notice;
    }

    bool movedAside = !c.setAside.empty() && c.setAsideError == ERROR_SUCCESS;
    EXPECT_EQ(Exists(kPlanted), !movedAside) << "what was placed leaves the chain with its folder";
    if (movedAside) {
        std::wstring aside = SetAsideFolder(c.setAside[0]);
        ASSERT_FALSE(aside.empty());
        std::wstring below = std::wstring(kPlanted).substr(c.setAside[0].size());
        EXPECT_EQ(testsupport::ReadFileText(aside + below), "placed\r\n");
        EXPECT_EQ(Snapshot(kDebug).size(), 1u) << "the fresh folder holds the log alone";
    }
    if (!written) return;
    CFolderCalls::Clear();
    LogSetFilePath(kLogFile);
    EXPECT_EQ(CFolderCalls::Folders(CFolderCalls::SetAsideCalls()), std::vector<std::wstring>())
        << "once made afresh, the folders are the logger's own";
}

INSTANTIATE_TEST_SUITE_P(Existing, LoggerExistingFolders, ::testing::ValuesIn(kExistingFolders),
                         [](const ::testing::TestParamInfo<ExistingFolders>& info) { return std::string(info.param.name); });

// Each case changes the chain after the first line, as a user could where the
// folders let them, then logs: no line reaches the file or goes through the
// change, the debugger output hears why once for each finding, and once the
// chain is as it was the lines reach the file again. The interval between
// checks passes in a millisecond here, so every line after a refusal checks.
namespace {
struct ChangedChain {
    const char* name;
    std::function<bool()> change;
    std::function<bool()> restore;
    std::string notice;  // what every notice begins with
};

void PrintTo(const ChangedChain& c, std::ostream* out) { *out << c.name; }

bool SwapTheLogFolderForALink(bool withLogTxt) {
    return MakeFolder(kPrepared) && (!withLogTxt || WriteText(kVictim, "system data\r\n")) &&
           MoveFileW(kDebug, kDebugKept) && MakeFolderLink(kDebug, kPrepared);
}

bool RestoreTheLogFolder() {
    RemoveTree(kDebug);
    return MoveFileW(kDebugKept, kDebug) != FALSE;
}

bool RestoreTheLogFile() {
    RemoveTree(kLogFile);
    return MoveFileW(kLogKept, kLogFile) != FALSE;
}

// The held folder goes with its move, so a line either finds its file away
// from the log's path or cannot check it, and the check after it finds the link.
const ChangedChain kChangedChains[] = {
    {"TheLogFolderBecomesALinkToAFolderWithALogTxt", [] { return SwapTheLogFolderForALink(true); },
     RestoreTheLogFolder, "ERROR\tNo log file: C:\\ProgramData\\Orvane\\Tarvo\\Debug"},
    {"TheLogFolderBecomesALinkToAnEmptyFolder", [] { return SwapTheLogFolderForALink(false); }, RestoreTheLogFolder,
     "ERROR\tNo log file: C:\\ProgramData\\Orvane\\Tarvo\\Debug"},
    {"TheLogFileBecomesASecondNameOfAnotherFile",
     [] {
         return MakeFolder(kPrepared) && WriteText(kVictim, "system data\r\n") && MoveFileW(kLogFile, kLogKept) &&
                CreateHardLinkW(kLogFile, kVictim, nullptr);
     },
     RestoreTheLogFile, "ERROR\tNo log file: C:\\ProgramData\\Orvane\\Tarvo\\Debug\\Log.txt has a second name (hard link)"},
    {"TheLogFileBecomesALinkToAnotherFile",
     [] {
         return MakeFolder(kPrepared) && WriteText(kVictim, "system data\r\n") && MoveFileW(kLogFile, kLogKept) &&
                MakeFileLink(kLogFile, kVictim);
     },
     RestoreTheLogFile, "ERROR\tNo log file: C:\\ProgramData\\Orvane\\Tarvo\\Debug\\Log.txt "},
};

class LoggerChangedChain : public LoggerFolders, public ::testing::WithParamInterface<ChangedChain> {
protected:
    void TearDown() override {
        CClock::SetDivisor(1);
        LoggerFolders::TearDown();
    }
};

// Each notice once, and every one of them about the change.
void ExpectEachNoticeOnce(const std::string& about) {
    std::vector<std::string> notices;
    for (const std::string& line : CLogCapture::Lines())
        if (line.find("No log file") != std::string::npos) notices.push_back(line);
    EXPECT_FALSE(notices.empty());
    for (size_t i = 0; i < notices.size(); ++i) {
        EXPECT_NE(notices[i].find(about), std::string::npos) << notices[i];
        for (size_t j = 0; j < i; ++j) EXPECT_NE(notices[i], notices[j]) << "told twice";
    }
}
}  // namespace

TEST_P(LoggerChangedChain, NoLineGoesThroughItAndLinesReturnOnceItIsUndone) {
    const ChangedChain& c = GetParam();
    CClock::SetDivisor(1000);
    CLogCapture capture(0);
    LogSetFilePath(kLogFile);
    LogSetFlags(LOG_FLAG_DEBUG | LOG_FLAG_FILE);
    LogWrite("main", "before", 0);
    ASSERT_NE(testsupport::ReadFileText(kLogFile).find("INFO\tbefore"), std::string::npos);

    if (!c.change()) GTEST_SKIP() << "this system cannot make it: " << c.name;
    std::map<std::wstring, std::string> prepared = Snapshot(kPrepared);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(PassOneCheckInterval());
        LogWrite("main", "during", 0);
    }
    EXPECT_EQ(Snapshot(kPrepared), prepared);
    ExpectEachNoticeOnce(c.notice);
    EXPECT_EQ(CLogCapture::Count("INFO\tduring"), 3u) << "the debugger output has every line";
    const size_t notices = CLogCapture::Count("No log file");

    ASSERT_TRUE(c.restore());
    ASSERT_TRUE(PassOneCheckInterval());
    LogWrite("main", "after", 0);
    std::string text = testsupport::ReadFileText(kLogFile);
    EXPECT_NE(text.find("INFO\tbefore\r\n"), std::string::npos);
    EXPECT_NE(text.find("INFO\tafter\r\n"), std::string::npos);
    EXPECT_EQ(text.find("during"), std::string::npos);
    EXPECT_EQ(CLogCapture::Count("No log file"), notices);
}

INSTANTIATE_TEST_SUITE_P(Changed, LoggerChangedChain, ::testing::ValuesIn(kChangedChains),
                         [](const ::testing::TestParamInfo<ChangedChain>& info) { return std::string(info.param.name); });

// A chain that cannot be checked (here a folder name that the file system
// rejects) gets no file line, and the debugger output hears why once per path
// setting, however many lines and checks follow.
TEST_F(LoggerFolders, AChainThatCannotBeCheckedIsToldOncePerPathSetting) {
    const wchar_t path[] = L"C:\\TarvoLogTest\\bad?name\\Log.txt";
    const std::string notice = "ERROR\tNo log file: C:\\TarvoLogTest\\bad?name cannot be checked, error ";
    // The interval between checks passes in a millisecond, so the lines below are checked again.
    CClock::SetDivisor(1000);
    CLogCapture capture(0);
    LogSetFilePath(path);
    LogSetFlags(LOG_FLAG_DEBUG | LOG_FLAG_FILE);
    for (int i = 0; i < 5; ++i) {
        LogWrite("main", "line", 0);
        ASSERT_TRUE(PassOneCheckInterval());
    }
    EXPECT_EQ(CLogCapture::Count("No log file"), 1u);
    EXPECT_EQ(CLogCapture::Count(notice), 1u) << notice;
    EXPECT_EQ(CLogCapture::Count("INFO\tline"), 5u);

    LogSetFilePath(path);
    LogWrite("main", "line", 0);
    CClock::SetDivisor(1);
    EXPECT_EQ(CLogCapture::Count(notice), 2u) << "a new path setting tells again";
    EXPECT_TRUE(Snapshot(kOtherRoot).empty());
}

// The path changes between lines: a line already being written when it is set
// ends on the path it began with.
TEST_F(LoggerFolders, APathSetDuringALineTakesEffectAfterIt) {
    static HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    static HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ResetEvent(entered);
    ResetEvent(release);
    LogSetFilePath(kOtherLog);
    CLogCapture restore(0);  // gives the sink and the switches back on the way out
    // The sink runs under the log lock: it holds the line there until released.
    LogSetDebugSink([](const char* text) {
        if (std::string(text) != "INFO\theld") return;
        SetEvent(entered);
        WaitForSingleObject(release, 10000);
    });
    LogSetFlags(LOG_FLAG_DEBUG | LOG_FLAG_FILE);
    std::thread line([] { LogWrite("main", "held", 0); });
    bool held = WaitForSingleObject(entered, 10000) == WAIT_OBJECT_0;
    std::thread setter([] { LogSetFilePath(kLogFile); });
    // Time for the setter to reach the log lock, and, were the path set outside it, the path.
    Sleep(300);
    std::wstring during = LogGetFilePath();
    SetEvent(release);
    line.join();
    setter.join();
    ASSERT_TRUE(held);
    EXPECT_EQ(during, kOtherLog);
    EXPECT_EQ(std::wstring(LogGetFilePath()), kLogFile);
    EXPECT_NE(testsupport::ReadFileText(kOtherLog).find("INFO\theld"), std::string::npos);
    EXPECT_EQ(testsupport::ReadFileText(kLogFile).find("held"), std::string::npos);
}

// The chain is checked when the path is set and again once an open has failed:
// a log folder removed while the service runs and replaced by a link is found.
TEST_F(LoggerFolders, AFailedOpenChecksTheChainAgain) {
    ASSERT_TRUE(MakeFolder(kPrepared));
    // The interval between checks passes in a millisecond.
    CClock::SetDivisor(1000);
    CLogCapture capture(0);
    LogSetFilePath(kLogFile);
    LogSetFlags(LOG_FLAG_DEBUG | LOG_FLAG_FILE);
    LogWrite("main", "first", 0);
    ASSERT_NE(testsupport::ReadFileText(kLogFile).find("INFO\tfirst"), std::string::npos);

    RemoveTree(kDebug);
    LogWrite("main", "lost", 0);
    bool linked = MakeFolderLink(kDebug, kPrepared);
    EXPECT_TRUE(PassOneCheckInterval());
    LogWrite("main", "after the link", 0);
    LogWrite("main", "and later", 0);
    CClock::SetDivisor(1);
    if (!linked) GTEST_SKIP() << "no link can be made on this system";
    EXPECT_TRUE(Snapshot(kPrepared).empty());
    EXPECT_EQ(CLogCapture::Count(
                  "ERROR\tNo log file: C:\\ProgramData\\Orvane\\Tarvo\\Debug is a junction, link or mount point"),
              1u);
    EXPECT_TRUE(CLogCapture::HasLine("INFO\tand later"));
}

// Users may read the log. A reader that lets no one write while it holds the
// file, or that locks its bytes, loses the lines meanwhile: the debugger output
// hears why once, nothing else is written, and the lines return once it lets go.
namespace {
struct Reader {
    const char* name;
    DWORD share;
    bool lockBytes;
    std::string notice;
};

void PrintTo(const Reader& c, std::ostream* out) { *out << c.name; }

const Reader kReaders[] = {
    {"SharesReadingOnly", FILE_SHARE_READ, false,
     "ERROR\tNo log file: C:\\ProgramData\\Orvane\\Tarvo\\Debug\\Log.txt is in use by another program, error 32"},
    {"LocksEveryByte", FILE_SHARE_READ | FILE_SHARE_WRITE, true,
     "ERROR\tNo log file: C:\\ProgramData\\Orvane\\Tarvo\\Debug\\Log.txt cannot be written, error 33"},
};

// Whether bytes that one handle locks refuse another handle's write: Wine keeps
// them from other locks only.
bool LocksKeepWritesOut() {
    const wchar_t probe[] = L"C:\\TarvoLockProbe.txt";
    CUniqueHandle locker(CreateFileW(probe, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    CUniqueHandle writer(CreateFileW(probe, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, 0, nullptr));
    OVERLAPPED everything = {};
    DWORD written = 0;
    return locker && writer &&
           LockFileEx(locker.Get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                      &everything) &&
           !WriteFile(writer.Get(), "x", 1, &written, nullptr);
}

class LoggerReader : public LoggerFolders, public ::testing::WithParamInterface<Reader> {};
}  // namespace

TEST_P(LoggerReader, LosesTheLinesOnceToldAndTheyReturnWhenItLetsGo) {
    const Reader& c = GetParam();
    CLogCapture capture(0);
    LogSetFilePath(kLogFile);
    LogSetFlags(LOG_FLAG_DEBUG | LOG_FLAG_FILE);
    LogWrite("main", "first", 0);

    CUniqueHandle reader(CreateFileW(kLogFile, GENERIC_READ, c.share, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(reader.IsValid());
    OVERLAPPED everything = {};
    if (c.lockBytes) {
        if (!LockFileEx(reader.Get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                        &everything))
            GTEST_SKIP() << "this system locks no bytes, error " << GetLastError();
        if (!LocksKeepWritesOut()) GTEST_SKIP() << "this system keeps locked bytes from other locks only, not from a write";
    }
    for (int i = 0; i < 5; ++i) LogWrite("main", "while held", 0);
    EXPECT_EQ(CLogCapture::Count("No log file"), 1u);
    EXPECT_EQ(CLogCapture::Count(c.notice), 1u) << c.notice;
    EXPECT_EQ(CLogCapture::Count("INFO\twhile held"), 5u) << "the debugger output has every line";

    if (c.lockBytes) UnlockFileEx(reader.Get(), 0, MAXDWORD, MAXDWORD, &everything);
    reader.Reset();
    LogWrite("main", "after", 0);
    std::string text = testsupport::ReadFileText(kLogFile);
    EXPECT_NE(text.find("INFO\tfirst\r\n"), std::string::npos);
    EXPECT_NE(text.find("INFO\tafter\r\n"), std::string::npos);
    EXPECT_EQ(text.find("while held"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Held, LoggerReader, ::testing::ValuesIn(kReaders),
                         [](const ::testing::TestParamInfo<Reader>& info) { return std::string(info.param.name); });

// A reader that takes an oplock on the log and never acknowledges its break:
// the next line's open completes at once, the line is dropped and told once,
// and no line waits for the reader, under the log lock or elsewhere. Windows
// grants such oplocks; where the system grants none, the case is skipped.
TEST_F(LoggerFolders, AnOplockOnTheFileHoldsNoLine) {
    CLogCapture capture(0);
    LogSetFilePath(kLogFile);
    LogSetFlags(LOG_FLAG_DEBUG | LOG_FLAG_FILE);
    LogWrite("main", "first", 0);

    CUniqueHandle holder(CreateFileW(kLogFile, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    ASSERT_TRUE(holder.IsValid());
    CUniqueHandle broken(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED request = {};
    request.hEvent = broken.Get();
    REQUEST_OPLOCK_INPUT_BUFFER in = {REQUEST_OPLOCK_CURRENT_VERSION, sizeof(in),
                                      OPLOCK_LEVEL_CACHE_READ | OPLOCK_LEVEL_CACHE_WRITE | OPLOCK_LEVEL_CACHE_HANDLE,
                                      REQUEST_OPLOCK_INPUT_FLAG_REQUEST};
    REQUEST_OPLOCK_OUTPUT_BUFFER out = {};
    out.StructureVersion = REQUEST_OPLOCK_CURRENT_VERSION;
    out.StructureLength = sizeof(out);
    if (DeviceIoControl(holder.Get(), FSCTL_REQUEST_OPLOCK, &in, sizeof(in), &out, sizeof(out), nullptr, &request) ||
        GetLastError() != ERROR_IO_PENDING)
        GTEST_SKIP() << "this system grants no oplock, error " << GetLastError();

    // Each line on a thread of its own: one that waited on the oplock would never end.
    // A thread that never ends is left behind with what it uses.
    auto lineEnds = [](const char* text) {
        auto done = std::make_shared<CUniqueHandle>(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        std::thread line([done, text] {
            LogWrite("main", text, 0);
            SetEvent(done->Get());
        });
        bool ended = WaitForSingleObject(done->Get(), 10000) == WAIT_OBJECT_0;
        line.detach();
        return ended;
    };
    EXPECT_TRUE(lineEnds("while held"));
    EXPECT_TRUE(lineEnds("while held"));
    EXPECT_EQ(CLogCapture::Count("ERROR\tNo log file: C:\\ProgramData\\Orvane\\Tarvo\\Debug\\Log.txt is held by another "
                                 "program's oplock"),
              1u);
    // The holder is told of the break and lets go.
    EXPECT_EQ(WaitForSingleObject(broken.Get(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    holder.Reset();
    ASSERT_TRUE(PassOneCheckInterval());
    EXPECT_TRUE(lineEnds("after"));
    std::string text = testsupport::ReadFileText(kLogFile);
    EXPECT_NE(text.find("INFO\tafter\r\n"), std::string::npos);
    EXPECT_EQ(text.find("while held"), std::string::npos);
}

// C:\ProgramData moved to another folder and reached through a link, as an
// administrator may relocate it: the chain is compared below where ProgramData
// turns out to be, so the fixed names below it decide and the lines are written.
namespace {
const wchar_t kProgramData[] = L"C:\\ProgramData";
const wchar_t kRelocated[] = L"C:\\TarvoRelocatedProgramData";

// Puts ProgramData back where it was, also after a run that failed half-way.
void PutProgramDataBack() {
    if (!Exists(kRelocated)) return;
    RunUnix("rm -f '" + UnixPath(kProgramData) + "' && mv '" + UnixPath(kRelocated) + "' '" + UnixPath(kProgramData) +
            "'");
}

class LoggerRelocatedProgramData : public LoggerFolders {
protected:
    void SetUp() override {
        PutProgramDataBack();
        LoggerFolders::SetUp();
    }
    void TearDown() override {
        LoggerFolders::TearDown();
        PutProgramDataBack();
    }
};
}  // namespace

TEST_F(LoggerRelocatedProgramData, TheNamesBelowItDecide) {
    // Only a system whose folders are Unix ones is moved here; on Windows it is the machine's own.
    if (UnixPath(kProgramData).empty() ||
        !RunUnix("mv '" + UnixPath(kProgramData) + "' '" + UnixPath(kRelocated) + "' && ln -s '" +
                 UnixPath(kRelocated) + "' '" + UnixPath(kProgramData) + "'") ||
        !Exists(kRelocated))
        GTEST_SKIP() << "C:\\ProgramData cannot be moved here";
    CLogCapture capture(0);
    LogSetFilePath(kLogFile);
    LogSetFlags(LOG_FLAG_DEBUG | LOG_FLAG_FILE);
    LogWrite("main", "relocated", 0);
    LogWrite("main", "and again", 0);
    EXPECT_EQ(CLogCapture::Count("No log file"), 0u);
    std::string text = testsupport::ReadFileText(std::wstring(kRelocated) + L"\\Orvane\\Tarvo\\Debug\\Log.txt");
    EXPECT_NE(text.find("INFO\trelocated\r\n"), std::string::npos);
    EXPECT_NE(text.find("INFO\tand again\r\n"), std::string::npos);
}

// Setting a folder aside changes no access list: a file that a user linked
// into an open Debug keeps its own, where the old way, a list given to the
// folder, was passed down to it. Only a system that keeps access lists and
// passes them down can show it; elsewhere the case is skipped.
TEST_F(LoggerFolders, SettingAsideChangesNoListOfWhatTheFolderHolds) {
    if (!AccessListsAreKept()) GTEST_SKIP() << "this system keeps no access lists: nothing is passed down";
    for (const wchar_t* folder : {kRoot, kTarvo, kDebug}) ASSERT_TRUE(MakeFolder(folder));
    ASSERT_TRUE(MakeFolder(kPrepared));
    ASSERT_TRUE(WriteText(kVictim, "system data\r\n"));
    // A list of its own that takes what its folder passes down.
    CUniqueLocal victimList = Descriptor(L"D:AI(A;;FA;;;SY)(A;;FA;;;BA)");
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL acl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(victimList.Get(), &present, &acl, &defaulted));
    ASSERT_EQ(SetNamedSecurityInfoW(const_cast<wchar_t*>(kVictim), SE_FILE_OBJECT,
                                    DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                    acl, nullptr),
              static_cast<DWORD>(ERROR_SUCCESS));
    if (!CreateHardLinkW(kPlanted, kVictim, nullptr)) GTEST_SKIP() << "no second name can be made here";
    if (!OpenToEveryone(kTarvo) || !OpenToEveryone(kDebug)) GTEST_SKIP() << "this system shows no such list";
    auto listText = [] {
        CUniqueLocal read;
        GetNamedSecurityInfoW(kVictim, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr,
                              read.Put());
        CUniqueLocal text;
        if (!read || !ConvertSecurityDescriptorToStringSecurityDescriptorW(read.Get(), SDDL_REVISION_1,
                                                                           DACL_SECURITY_INFORMATION,
                                                                           text.Put<wchar_t>(), nullptr))
            return std::wstring();
        return std::wstring(text.Get<wchar_t>());
    };
    const std::wstring before = listText();

    CLogCapture capture(0);
    LogSetFilePath(kLogFile);
    LogSetFlags(LOG_FLAG_DEBUG | LOG_FLAG_FILE);
    LogWrite("main", "line", 0);
    EXPECT_NE(testsupport::ReadFileText(kLogFile).find("INFO\tline"), std::string::npos);
    EXPECT_FALSE(Exists(kPlanted));
    EXPECT_EQ(listText(), before);
}
