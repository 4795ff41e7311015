// The tag file that stops the back-off start-up counts only where an
// administrator could have placed it: the decision on owners and handle facts,
// then the tag as the worker finds it on disk.
#include "CLogFolderChain.h"
#include "CTagFile.h"
#include "CTagFileTrust.h"
#include "CTrustedOwner.h"
#include "Handles.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <sddl.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

using Finding = CLogFolderChain::Finding;

namespace {
const wchar_t kFolder[] = L"c:\\VAWMIR";
const wchar_t kTag[] = L"c:\\VAWMIR\\Tarvo.tag";

std::vector<BYTE> Owned(const wchar_t* sddl) {
    CUniqueLocal descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, descriptor.Put(), nullptr))
        return {};
    const BYTE* bytes = descriptor.Get<BYTE>();
    return std::vector<BYTE>(bytes, bytes + GetSecurityDescriptorLength(descriptor.Get()));
}

CLogFolderChain::Element Element(const wchar_t* path, const wchar_t* sddl, bool directory) {
    CLogFolderChain::Element element;
    element.path = path;
    element.facts.directory = directory;
    element.facts.owner = Owned(sddl);
    return element;
}
}  // namespace

// Row by row, on owners built from SDDL and on what a handle shows: only a
// plain file in a plain folder, both owned by SYSTEM, the administrators,
// TrustedInstaller or the service's own account, counts.
TEST(TagFileTrust, OnlyTheTrustedPlainFileCounts) {
    CUniqueLocal service;
    ASSERT_TRUE(ConvertStringSidToSidW(L"S-1-5-21-1-2-3-1000", service.Put()));
    const wchar_t kInstaller[] = L"O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
    using Change = std::function<void(std::vector<CLogFolderChain::Element>&)>;
    auto fileOwner = [](const wchar_t* sddl) -> Change {
        return [sddl](std::vector<CLogFolderChain::Element>& e) { e[1].facts.owner = Owned(sddl); };
    };
    struct Case {
        const char* what;
        Change change;
        Finding finding;
        std::wstring element;
        std::string line;  // the why-line; empty for a tag that counts
    } cases[] = {
        {"owned by SYSTEM", nullptr, Finding::Sound, L"", ""},
        {"owned by the administrators", [](auto& e) { e[0].facts.owner = Owned(L"O:BA"); e[1].facts.owner = Owned(L"O:BA"); },
         Finding::Sound, L"", ""},
        {"owned by TrustedInstaller",
         [&](auto& e) { e[0].facts.owner = Owned(kInstaller); e[1].facts.owner = Owned(kInstaller); }, Finding::Sound, L"",
         ""},
        {"owned by the service's own account", fileOwner(L"O:S-1-5-21-1-2-3-1000"), Finding::Sound, L"", ""},
        {"the file owned by a user", fileOwner(L"O:S-1-5-21-1-2-3-1001"), Finding::ForeignOwner, kTag,
         "Tarvo.tag does not count: c:\\VAWMIR\\Tarvo.tag is owned by S-1-5-21-1-2-3-1001"},
        {"the file owned by Users", fileOwner(L"O:BUD:(A;;FA;;;WD)"), Finding::ForeignOwner, kTag,
         "Tarvo.tag does not count: c:\\VAWMIR\\Tarvo.tag is owned by S-1-5-32-545"},
        {"the file owned by Authenticated Users", fileOwner(L"O:AU"), Finding::ForeignOwner, kTag,
         "Tarvo.tag does not count: c:\\VAWMIR\\Tarvo.tag is owned by S-1-5-11"},
        {"the file with no owner", fileOwner(L"D:(A;;FA;;;SY)"), Finding::ForeignOwner, kTag,
         "Tarvo.tag does not count: c:\\VAWMIR\\Tarvo.tag is owned by ?"},
        {"the folder owned by a user", [](auto& e) { e[0].facts.owner = Owned(L"O:S-1-5-21-1-2-3-1001"); },
         Finding::ForeignOwner, kFolder, "Tarvo.tag does not count: c:\\VAWMIR is owned by S-1-5-21-1-2-3-1001"},
        {"the file a link", [](auto& e) { e[1].facts.reparsePoint = true; }, Finding::ReparsePoint, kTag,
         "Tarvo.tag does not count: c:\\VAWMIR\\Tarvo.tag is a junction, link or mount point"},
        {"the folder a junction, nothing opened through it",
         [](auto& e) {
             e.pop_back();
             e[0].facts.reparsePoint = true;
             e[0].facts.owner.clear();
         },
         Finding::ReparsePoint, kFolder, "Tarvo.tag does not count: c:\\VAWMIR is a junction, link or mount point"},
        {"the file a second name of another",
         [](auto& e) {
             e[1].facts.links = 2;
         },
         Finding::SecondName, kTag, "Tarvo.tag does not count: c:\\VAWMIR\\Tarvo.tag has a second name (hard link)"},
        {"the file reached through a link on the way",
         [](auto& e) {
             e[1].facts.elsewhere = true;
             e[1].facts.reached = L"\\\\server\\share\\Tarvo.tag";
         },
         Finding::Elsewhere, kTag, "Tarvo.tag does not count: c:\\VAWMIR\\Tarvo.tag leads to \\\\server\\share\\Tarvo.tag"},
        {"a user's link with a trusted owner's name", [](auto& e) {
             e[1].facts.reparsePoint = true;
             e[1].facts.owner = Owned(L"O:S-1-5-21-1-2-3-1001");
         },
         Finding::ReparsePoint, kTag, "Tarvo.tag does not count: c:\\VAWMIR\\Tarvo.tag is a junction, link or mount point"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<CLogFolderChain::Element> elements = {Element(kFolder, L"O:SY", true), Element(kTag, L"O:SY", false)};
        if (c.change) c.change(elements);
        CLogFolderChain::Result result = CTagFileTrust::Decide(elements, service.Get());
        EXPECT_EQ(static_cast<int>(result.finding), static_cast<int>(c.finding));
        if (c.finding == Finding::Sound) continue;
        EXPECT_EQ(result.element, c.element);
        EXPECT_EQ(CTagFileTrust::Describe(result), c.line);
    }
    EXPECT_TRUE(CTagFileTrust::Decide({}, service.Get()).finding == Finding::Missing) << "nothing read, no tag";
}

// The tag as the worker finds it on this system: each case prepares C:\VAWMIR
// as a user could, where this system lets it be prepared, and skips where it
// does not. Wine shows every file with the prefix's user as owner, the
// service's own account there: a plain file counts.
namespace {
const wchar_t kElsewhere[] = L"C:\\TarvoTagElsewhere";
const wchar_t kElsewhereTag[] = L"C:\\TarvoTagElsewhere\\Tarvo.tag";

bool MakeFolder(const std::wstring& path) { return CreateDirectoryW(path.c_str(), nullptr) != FALSE; }
bool MakeFile(const std::wstring& path) { return testsupport::WriteFileBytes(path, {}); }

void RemoveAll() {
    for (const wchar_t* path : {kFolder, kElsewhere}) {
        std::string unix = testsupport::UnixPath(path);
        // Wine's own calls follow a Unix link: DeleteFileW on one deletes its target.
        if (!unix.empty()) {
            testsupport::RunUnix("rm -rf '" + unix + "'");
        } else {
            DeleteFileW((std::wstring(path) + L"\\Tarvo.tag").c_str());
            DeleteFileW((std::wstring(path) + L"\\other").c_str());
            RemoveDirectoryW(path);
        }
    }
}

struct OnDisk {
    const char* name;
    std::function<bool()> prepare;
    Finding finding;
    std::wstring element;
    // A link that the system follows all the same (Wine, for a Unix link to a
    // file) shows by where its handle is instead.
    bool orElsewhere = false;
};
void PrintTo(const OnDisk& c, std::ostream* out) { *out << c.name; }

const OnDisk kOnDisk[] = {
    {"NoFolder", [] { return true; }, Finding::Missing, L""},
    {"NoTagInTheFolder", [] { return MakeFolder(kFolder); }, Finding::Missing, L""},
    {"APlainFileCounts", [] { return MakeFolder(kFolder) && MakeFile(kTag); }, Finding::Sound, L""},
    {"ASecondNameOfAnotherFile",
     [] {
         return MakeFolder(kFolder) && MakeFile(std::wstring(kFolder) + L"\\other") &&
                CreateHardLinkW(kTag, (std::wstring(kFolder) + L"\\other").c_str(), nullptr);
     },
     Finding::SecondName, kTag},
    {"ALinkToAnotherFile",
     [] {
         return MakeFolder(kElsewhere) && MakeFile(kElsewhereTag) && MakeFolder(kFolder) &&
                testsupport::MakeFileLink(kTag, kElsewhereTag);
     },
     Finding::ReparsePoint, kTag, true},
    {"TheFolderALinkToAFolderWithATag",
     [] { return MakeFolder(kElsewhere) && MakeFile(kElsewhereTag) && testsupport::MakeFolderLink(kFolder, kElsewhere); },
     Finding::ReparsePoint, kFolder},
    {"TheFileOfAnotherUser", [] { return MakeFolder(kFolder) && MakeFile(kTag) && testsupport::GiveToNobody(kTag); },
     Finding::ForeignOwner, kTag},
    {"TheFolderOfAnotherUser",
     [] { return MakeFolder(kFolder) && MakeFile(kTag) && testsupport::GiveToNobody(kFolder); }, Finding::ForeignOwner,
     kFolder},
};

class TagFileOnDisk : public ::testing::TestWithParam<OnDisk> {
protected:
    void SetUp() override { RemoveAll(); }
    void TearDown() override { RemoveAll(); }
};
}  // namespace

TEST_P(TagFileOnDisk, CountsOnlyWhereAnAdministratorCouldHavePlacedIt) {
    const OnDisk& c = GetParam();
    if (!c.prepare()) GTEST_SKIP() << "this system refuses the set-up, error " << GetLastError();
    CLogFolderChain::Result result = CTagFile::Find();
    if (c.finding == Finding::ForeignOwner && result.finding == Finding::Sound)
        GTEST_SKIP() << "this system shows the other user as the service's own account";
    const Finding found = c.orElsewhere && result.finding == Finding::Elsewhere ? c.finding : result.finding;
    EXPECT_EQ(static_cast<int>(found), static_cast<int>(c.finding)) << CTagFileTrust::Describe(result);
    if (c.finding != Finding::Sound && c.finding != Finding::Missing) {
        EXPECT_EQ(result.element, c.element);
    }
}

INSTANTIATE_TEST_SUITE_P(Prepared, TagFileOnDisk, ::testing::ValuesIn(kOnDisk),
                         [](const ::testing::TestParamInfo<OnDisk>& info) { return std::string(info.param.name); });

// Another program holds an oplock on the tag and never acknowledges its
// break: the look at the tag returns at once. Windows grants such oplocks;
// where the system grants none, the case is skipped.
TEST(TagFileOplocked, TheLookWaitsOnNoOplock) {
    RemoveAll();
    ASSERT_TRUE(MakeFolder(kFolder) && MakeFile(kTag));
    {
        CUniqueHandle holder(CreateFileW(kTag, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
        ASSERT_TRUE(holder.IsValid());
        CUniqueHandle broken(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        testsupport::COplock oplock(holder.Get(), broken.Get());
        if (!oplock.Granted()) {
            holder.Reset();
            RemoveAll();
            GTEST_SKIP() << "this system grants no oplock, error " << oplock.Error();
        }
        const auto start = std::chrono::steady_clock::now();
        CLogFolderChain::Result result = CTagFile::Find();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
        // An open that looks only breaks no oplock; one that would is not waited for and does not count.
        EXPECT_TRUE(result.finding == Finding::Sound || result.finding == Finding::Oplocked)
            << CTagFileTrust::Describe(result);
        holder.Reset();
    }
    RemoveAll();
}
