#include "CLogFolderChain.h"

#include "CFileOpen.h"
#include "CTrustedOwner.h"
#include "WideToUtf8.h"

#include <sddl.h>
#include <winternl.h>

#include <cstddef>
#include <cstring>
#include <cwctype>

namespace {
// Opens that only look: they share with any other and follow no link at their end.
const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
const DWORD kLookAccess = READ_CONTROL | FILE_READ_ATTRIBUTES;
// A line's open: appending only, so every write lands at the end whoever else
// writes; readers and writers may share the file meanwhile, as the C runtime's
// deny-none opening let them.
const DWORD kLineAccess = FILE_APPEND_DATA | kLookAccess;
const DWORD kLineShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
const ULONG kFolderOptions = FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT;
const ULONG kFileOptions = FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT;
const DWORD kErrorSharingViolation = ERROR_SHARING_VIOLATION;

using Finding = CLogFolderChain::Finding;
using Result = CLogFolderChain::Result;

Result Found(Finding finding, const std::wstring& element, DWORD error = 0) {
    Result result;
    result.finding = finding;
    result.element = element;
    result.error = error;
    return result;
}

// What a failed open says about the element: not there, or not to be read now.
Result NotOpened(const CFileOpen::Outcome& outcome, const std::wstring& element) {
    if (outcome.oplocked) return Found(Finding::Oplocked, element, outcome.Error());
    return Found(outcome.NotFound() ? Finding::Missing : Finding::Unverified, element, outcome.Error());
}

CFileOpen::Request Look(ULONG options, ACCESS_MASK more = 0, ULONG share = kShareAll) {
    CFileOpen::Request request;
    request.access = kLookAccess | more;
    request.share = share;
    request.options = options;
    return request;
}

// The length of "C:\", "\\?\C:\", "\\server\share\" or "\\?\UNC\server\share\"; 0 for a path without one.
size_t RootLength(const std::wstring& path, bool& isDrive) {
    size_t at = path.compare(0, 4, L"\\\\?\\") == 0 ? 4 : 0;
    isDrive = path.size() >= at + 3 && iswalpha(path[at]) && path[at + 1] == L':' && path[at + 2] == L'\\';
    if (isDrive) return at + 3;
    if (at == 4) {
        if (_wcsnicmp(path.c_str() + 4, L"UNC\\", 4) != 0) return 0;
        at = 8;
    } else if (path.compare(0, 2, L"\\\\") == 0) {
        at = 2;
    } else {
        return 0;
    }
    // Server and share: two names, each ended by a separator.
    size_t server = path.find(L'\\', at);
    if (server == std::wstring::npos || server == at) return 0;
    size_t share = path.find(L'\\', server + 1);
    if (share == std::wstring::npos || share == server + 1) return 0;
    return share + 1;
}

// A full path cut where the check begins: the base, and the names below it.
struct CutPath {
    std::wstring base;
    std::vector<std::wstring> names;
};

CutPath Cut(const std::wstring& fullPath) {
    CutPath cut;
    bool isDrive = false;
    size_t root = RootLength(fullPath, isDrive);
    if (root == 0) return cut;
    for (size_t at = root; at < fullPath.size();) {
        size_t end = fullPath.find(L'\\', at);
        if (end == std::wstring::npos) end = fullPath.size();
        if (end > at) cut.names.push_back(fullPath.substr(at, end - at));
        at = end + 1;
    }
    cut.base = fullPath.substr(0, root);
    if (isDrive && towupper(fullPath[root - 3]) == L'C' && cut.names.size() > 1 &&
        _wcsicmp(cut.names[0].c_str(), L"ProgramData") == 0) {
        cut.base += cut.names[0];
        cut.names.erase(cut.names.begin());
    }
    return cut;
}

// A path without the "\\?\" that the system puts before a final path ("\\?\UNC\" stands for "\\").
std::wstring PlainPath(const std::wstring& path) {
    if (path.compare(0, 4, L"\\\\?\\") != 0) return path;
    if (_wcsnicmp(path.c_str() + 4, L"UNC\\", 4) == 0) return L"\\\\" + path.substr(8);
    return path.substr(4);
}

// Names compare as the file system does, without regard to case.
bool IsSamePath(const std::wstring& reached, const std::wstring& expected) {
    std::wstring a = PlainPath(reached);
    std::wstring b = PlainPath(expected);
    return a.size() == b.size() && a.size() < 0x7FFFFFFF &&
           ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
               CSTR_EQUAL;
}

std::wstring LeafName(const std::wstring& element) {
    size_t slash = element.find_last_of(L'\\');
    return slash == std::wstring::npos ? element : element.substr(slash + 1);
}

// Where the handle's folder or file is, every link on the way resolved.
DWORD FinalPath(HANDLE handle, std::wstring& path) {
    const DWORD flags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
    wchar_t buffer[MAX_PATH + 8];
    DWORD length = ::GetFinalPathNameByHandleW(handle, buffer, ARRAYSIZE(buffer), flags);
    if (length == 0) return ::GetLastError();
    if (length < ARRAYSIZE(buffer)) {
        path.assign(buffer, length);
        return ERROR_SUCCESS;
    }
    // Too long for the buffer: length is the size it needs, terminator included.
    std::vector<wchar_t> longer(length);
    DWORD again = ::GetFinalPathNameByHandleW(handle, longer.data(), length, flags);
    if (again == 0) return ::GetLastError();
    if (again >= length) return ERROR_INSUFFICIENT_BUFFER;
    path.assign(longer.data(), again);
    return ERROR_SUCCESS;
}

// A handle's security descriptor: the owner and what else is asked. Read with
// GetKernelObjectSecurity into a buffer of its own: under Wine it costs half of
// GetSecurityInfo, and every line pays it.
class CSecurity {
public:
    DWORD Read(HANDLE handle, SECURITY_INFORMATION what) {
        DWORD needed = 0;
        m_buffer.resize(256);
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (::GetKernelObjectSecurity(handle, what, m_buffer.data(), static_cast<DWORD>(m_buffer.size()), &needed))
                return ERROR_SUCCESS;
            DWORD error = ::GetLastError();
            if (error != ERROR_INSUFFICIENT_BUFFER || needed <= m_buffer.size()) return error;
            m_buffer.resize(needed);
        }
        return ERROR_INSUFFICIENT_BUFFER;
    }
    PSECURITY_DESCRIPTOR Descriptor() { return m_buffer.data(); }
    std::vector<BYTE> Take() { return std::move(m_buffer); }

private:
    std::vector<BYTE> m_buffer;
};

using Facts = CLogFolderChain::Facts;

// What the handle shows of its element's shape; the reading stops at a fact
// that refuses it already.
DWORD ReadShape(HANDLE handle, const std::wstring& expected, Facts& facts) {
    // These two classes rather than GetFileInformationByHandle, which also asks for the
    // volume: several times slower under Wine, and the volume plays no part here.
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    FILE_STANDARD_INFO standard = {};
    if (!::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof(tag)) ||
        !::GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof(standard)))
        return ::GetLastError();
    facts.reparsePoint = facts.reparsePoint || (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    facts.directory = standard.Directory != FALSE;
    facts.links = standard.NumberOfLinks;
    if (facts.reparsePoint || (!facts.directory && facts.links > 1)) return ERROR_SUCCESS;

    std::wstring reached;
    DWORD error = FinalPath(handle, reached);
    if (error != ERROR_SUCCESS) return error;
    facts.elsewhere = !IsSamePath(reached, expected);
    facts.reached = PlainPath(reached);
    return ERROR_SUCCESS;
}

Result JudgeShape(const std::wstring& element, const Facts& facts) {
    if (facts.reparsePoint) return Found(Finding::ReparsePoint, element);
    if (!facts.directory && facts.links > 1) return Found(Finding::SecondName, element);
    if (facts.elsewhere) {
        Result result = Found(Finding::Elsewhere, element);
        result.reached = facts.reached;
        return result;
    }
    return Found(Finding::Sound, element);
}

Result JudgeOwner(const std::wstring& element, PSECURITY_DESCRIPTOR descriptor, CLogFolderChain::OwnerRule trusted,
                  PSID processUser) {
    PSID owner = nullptr;
    if (CTrustedOwner::ReadOwner(descriptor, owner) && trusted(owner, processUser))
        return Found(Finding::Sound, element);
    Result result = Found(Finding::ForeignOwner, element);
    result.owner = CTrustedOwner::OwnerText(descriptor);
    return result;
}

// What a handle shows of the folder or file that element names: no reparse
// point, one name for a file, the expected path once every link is resolved,
// and a trusted owner. security receives the owner, and the access list when
// DACL_SECURITY_INFORMATION is asked.
Result InspectHandle(HANDLE handle, const std::wstring& element, const std::wstring& expected, PSID processUser,
                     SECURITY_INFORMATION extra, CSecurity& security, CLogFolderChain::TrustedFile* trusted = nullptr) {
    Facts facts;
    DWORD error = ReadShape(handle, expected, facts);
    if (error != ERROR_SUCCESS) return Found(Finding::Unverified, element, error);
    Result shape = JudgeShape(element, facts);
    if (shape.finding != Finding::Sound) return shape;

    // A file's owner can be changed by none but its owner, the system and the
    // administrators: the single-named file at this path whose owner was last
    // found trusted needs no second look. Its index costs what the attributes
    // cost; the owner is a round trip of its own to Wine's server, a fifth of a line.
    FILE_INTERNAL_INFORMATION internal = {};
    IO_STATUS_BLOCK status = {};
    bool indexed = trusted && ::NtQueryInformationFile(handle, &status, &internal, sizeof(internal),
                                                       FileInternalInformation) >= 0;
    if (indexed && trusted->known && trusted->index == internal.IndexNumber.QuadPart)
        return Found(Finding::Sound, element);

    error = security.Read(handle, OWNER_SECURITY_INFORMATION | extra);
    if (error != ERROR_SUCCESS) return Found(Finding::Unverified, element, error);
    Result owner = JudgeOwner(element, security.Descriptor(), &CTrustedOwner::IsTrusted, processUser);
    if (owner.finding != Finding::Sound) return owner;
    if (indexed) {
        trusted->known = true;
        trusted->index = internal.IndexNumber.QuadPart;
    }
    return Found(Finding::Sound, element);
}

// An element opened relative to its checked parent and looked at.
Result OpenAndInspect(HANDLE parent, const std::wstring& element, const std::wstring& expected, PSID processUser,
                      const CFileOpen::Request& request, SECURITY_INFORMATION extra, CUniqueHandle& handle,
                      CSecurity& security) {
    CFileOpen::Outcome opened = CFileOpen::Open(parent, LeafName(element), request, handle);
    if (!opened.Opened()) return NotOpened(opened, element);
    return InspectHandle(handle.Get(), element, expected, processUser, extra, security);
}

// Whether any entry of a descriptor's list allows what counts: counts gets the
// entry's trustee (null when the entry names it elsewhere than plain entries
// do), its rights with the generic ones mapped, and its flags. No list, or one
// that cannot be read safely, counts as allowing everything.
template <typename Counts>
bool AnyAllowingEntry(PSECURITY_DESCRIPTOR descriptor, Counts counts) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL acl = nullptr;
    if (descriptor == nullptr || !::GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted)) return true;
    // No list lets everyone do everything.
    if (!present || acl == nullptr) return true;
    if (!::IsValidAcl(acl)) return true;

    GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    const size_t sidAt = offsetof(ACCESS_ALLOWED_ACE, SidStart);
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        void* ace = nullptr;
        if (!::GetAce(acl, i, &ace)) return true;
        const ACE_HEADER* header = static_cast<const ACE_HEADER*>(ace);
        BYTE type = header->AceType;
        bool allows = type == ACCESS_ALLOWED_ACE_TYPE || type == ACCESS_ALLOWED_CALLBACK_ACE_TYPE ||
                      type == ACCESS_ALLOWED_COMPOUND_ACE_TYPE || type == ACCESS_ALLOWED_OBJECT_ACE_TYPE ||
                      type == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE;
        if (!allows) continue;
        // Every entry type has its mask right after the header.
        if (header->AceSize < sizeof(ACE_HEADER) + sizeof(ACCESS_MASK)) return true;
        ACCESS_MASK mask = 0;
        std::memcpy(&mask, reinterpret_cast<const BYTE*>(header) + sizeof(ACE_HEADER), sizeof(mask));
        ::MapGenericMask(&mask, &mapping);
        // The plain and callback entries name their trustee at one place; the
        // others are taken for someone else's.
        PSID trustee = nullptr;
        if (type == ACCESS_ALLOWED_ACE_TYPE || type == ACCESS_ALLOWED_CALLBACK_ACE_TYPE) {
            BYTE* sid = reinterpret_cast<BYTE*>(const_cast<ACE_HEADER*>(header)) + sidAt;
            // Revision, count and authority first; then the count's sub-authorities.
            if (header->AceSize >= sidAt + 8 && header->AceSize >= sidAt + 8 + 4 * static_cast<size_t>(sid[1]))
                trustee = sid;
        }
        if (counts(trustee, mask, header->AceFlags)) return true;
    }
    return false;
}

bool IsCreatorEntry(PSID sid) {
    return ::IsWellKnownSid(sid, WinCreatorOwnerSid) || ::IsWellKnownSid(sid, WinCreatorGroupSid) ||
           ::IsWellKnownSid(sid, WinCreatorOwnerRightsSid);
}

// By name first: Wine shows a Unix link to a folder as one here only, not through a handle.
Result LookByName(const std::wstring& element) {
    DWORD attributes = INVALID_FILE_ATTRIBUTES;
    CFileOpen::Outcome looked = CFileOpen::QueryAttributes(element, attributes);
    if (looked.status < 0) return NotOpened(looked, element);
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return Found(Finding::ReparsePoint, element);
    return Found(Finding::Sound, element);
}

// The base is the system's own: opened by its name, wherever a link takes it,
// and what it turns out to be is what the chain is compared under.
Result OpenBase(const std::wstring& base, CUniqueHandle& handle, std::wstring& baseFinal) {
    CFileOpen::Outcome opened = CFileOpen::Open(nullptr, base, Look(FILE_DIRECTORY_FILE), handle);
    if (!opened.Opened()) return Found(Finding::Unverified, base, opened.Error());
    DWORD error = FinalPath(handle.Get(), baseFinal);
    if (error != ERROR_SUCCESS) return Found(Finding::Unverified, base, error);
    return Found(Finding::Sound, base);
}

// How the walk of one chain goes: what it may change, whom it trusts, and
// where below the base's final path each element must be.
class CChainWalk {
public:
    CChainWalk(const CLogFolderChain::Changes& changes, const std::wstring& base, const std::wstring& baseFinal)
        : m_changes(changes), m_base(base), m_baseFinal(baseFinal), m_user(CTrustedOwner::ProcessUser()) {}

    std::wstring Expected(const std::wstring& element) const {
        return CLogFolderChain::ExpectedFinalPath(m_baseFinal, m_base, element);
    }

    // One folder below parent. ownFolder: one of the service's own, which may
    // be made; else the maker's. Either list is only read.
    Result Folder(HANDLE parent, const std::wstring& element, bool ownFolder, CUniqueHandle& handle) {
        PSECURITY_DESCRIPTOR descriptor = CLogFolderChain::FolderDescriptor();
        // A folder without the access list would take its parent's, which under
        // ProgramData lets any user create in it: none is made then.
        bool mayChange = descriptor != nullptr;
        Result looked = LookByName(element);
        if (looked.finding == Finding::Missing && mayChange && m_changes.makeFolder)
            m_changes.makeFolder(parent, element.c_str(), descriptor);
        else if (looked.finding != Finding::Sound)
            return looked;

        CSecurity security;
        Result result = OpenAndInspect(parent, element, Expected(element), m_user, Look(kFolderOptions),
                                       DACL_SECURITY_INFORMATION, handle, security);
        if (result.finding != Finding::Sound) return result;
        if (!ownFolder) {
            if (CLogFolderChain::LetsOthersReplaceWhatItHolds(security.Descriptor(), m_user))
                return Found(Finding::Replaceable, element);
            return result;
        }
        // Renaming it aside would wait for whoever keeps an oplock below it: it
        // is refused, and left as it is.
        if (CLogFolderChain::GrantsOthersMoreThanRead(security.Descriptor(), m_user))
            return Found(Finding::Unprotected, element);
        return result;
    }

    // The log file in its checked folder, when it is there.
    Result File(HANDLE folder, const std::wstring& element) {
        Result looked = LookByName(element);
        if (looked.finding != Finding::Sound) return looked;
        CUniqueHandle handle;
        CSecurity security;
        return OpenAndInspect(folder, element, Expected(element), m_user, Look(kFileOptions), 0, handle, security);
    }

private:
    const CLogFolderChain::Changes& m_changes;
    std::wstring m_base;
    std::wstring m_baseFinal;
    PSID m_user;
};
}  // namespace

const wchar_t CLogFolderChain::kFolderSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)";

bool CLogFolderChain::Result::Refuses() const {
    return finding == Finding::ReparsePoint || finding == Finding::ForeignOwner || finding == Finding::SecondName ||
           finding == Finding::Elsewhere || finding == Finding::Unprotected || finding == Finding::Replaceable;
}

PSECURITY_DESCRIPTOR CLogFolderChain::FolderDescriptor() {
    static const PSECURITY_DESCRIPTOR descriptor = [] {
        PSECURITY_DESCRIPTOR built = nullptr;
        if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kFolderSddl, SDDL_REVISION_1, &built, nullptr))
            return PSECURITY_DESCRIPTOR(nullptr);
        return built;
    }();
    return descriptor;
}

std::wstring CLogFolderChain::FullPath(const std::wstring& path) {
    wchar_t full[MAX_PATH] = {};
    DWORD length = ::GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
    return length > 0 && length < MAX_PATH ? std::wstring(full, length) : path;
}

std::wstring CLogFolderChain::Base(const std::wstring& fullPath) { return Cut(fullPath).base; }

std::vector<std::wstring> CLogFolderChain::Chain(const std::wstring& fullPath) {
    CutPath cut = Cut(fullPath);
    std::vector<std::wstring> chain;
    std::wstring current = cut.base;
    for (const std::wstring& name : cut.names) {
        if (!current.empty() && current.back() != L'\\') current += L'\\';
        current += name;
        chain.push_back(current);
    }
    return chain;
}

std::wstring CLogFolderChain::ExpectedFinalPath(const std::wstring& baseFinal, const std::wstring& base,
                                                const std::wstring& element) {
    if (element.size() < base.size() || _wcsnicmp(element.c_str(), base.c_str(), base.size()) != 0) return element;
    std::wstring expected = PlainPath(baseFinal);
    std::wstring tail = element.substr(base.size());
    if (!tail.empty() && tail.front() == L'\\') tail.erase(0, 1);
    if (tail.empty()) return expected;
    if (expected.empty() || expected.back() != L'\\') expected += L'\\';
    return expected + tail;
}

bool CLogFolderChain::GrantsOthersMoreThanRead(PSECURITY_DESCRIPTOR descriptor, PSID processUser) {
    const ACCESS_MASK readOnly = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;
    return AnyAllowingEntry(descriptor, [&](PSID trustee, ACCESS_MASK mask, BYTE) {
        return (mask & ~readOnly) != 0 && !(trustee && CTrustedOwner::IsTrusted(trustee, processUser));
    });
}

bool CLogFolderChain::LetsOthersReplaceWhatItHolds(PSECURITY_DESCRIPTOR descriptor, PSID processUser) {
    const ACCESS_MASK replaces = DELETE | WRITE_DAC | WRITE_OWNER | FILE_DELETE_CHILD;
    return AnyAllowingEntry(descriptor, [&](PSID trustee, ACCESS_MASK mask, BYTE flags) {
        // What an entry passes down counts for what the folder holds; its delete
        // for the folder itself only where it applies to the folder.
        ACCESS_MASK counted = replaces;
        if (!(flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE))) counted &= ~DELETE;
        if ((mask & counted) == 0) return false;
        return !(trustee && (CTrustedOwner::IsTrusted(trustee, processUser) || IsCreatorEntry(trustee)));
    });
}

std::string CLogFolderChain::Describe(const Result& result) { return "No log file: " + Explain(result); }

std::string CLogFolderChain::Explain(const Result& result) {
    std::string text = WideToUtf8(result.element);
    std::string error = std::to_string(result.error);
    switch (result.finding) {
    case Finding::ReparsePoint: return text + " is a junction, link or mount point";
    case Finding::ForeignOwner: return text + " is owned by " + WideToUtf8(result.owner);
    case Finding::SecondName: return text + " has a second name (hard link)";
    case Finding::Unverified: return text + " cannot be checked, error " + error;
    case Finding::Elsewhere: return text + " leads to " + WideToUtf8(result.reached);
    case Finding::Unprotected: return text + " lets others change it";
    case Finding::Replaceable:
        return text + " lets others delete or rename what it holds, or change its access list";
    case Finding::Unopened:
        if (result.error == kErrorSharingViolation) return text + " is in use by another program, error " + error;
        return text + " cannot be opened, error " + error;
    case Finding::Oplocked: return text + " is held by another program's oplock";
    case Finding::Unwritten: return text + " cannot be written, error " + error;
    default: return text;
    }
}

DWORD CLogFolderChain::MakeFolder(HANDLE parent, const wchar_t* element, PSECURITY_DESCRIPTOR descriptor) {
    CFileOpen::Request request;
    request.access = FILE_READ_ATTRIBUTES;
    request.disposition = CFileOpen::kCreate;
    request.options = kFolderOptions;
    request.descriptor = descriptor;
    CUniqueHandle made;
    return CFileOpen::Open(parent, LeafName(element), request, made).Error();
}

CLogFolderChain::Result CLogFolderChain::Prepare(const std::wstring& path, const Changes& changes, Folder* folder) {
    std::wstring full = FullPath(path);
    CutPath cut = Cut(full);
    std::vector<std::wstring> chain = Chain(full);
    if (chain.empty()) return Found(Finding::Unverified, full, ERROR_BAD_PATHNAME);
    if (folder) {
        folder->handle.Reset();
        folder->name = LeafName(chain.back());
        folder->path = chain.back();
    }

    CUniqueHandle parent;
    std::wstring baseFinal;
    Result base = OpenBase(cut.base, parent, baseFinal);
    if (base.finding != Finding::Sound) return base;

    CChainWalk walk(changes, cut.base, baseFinal);
    for (size_t i = 0; i + 1 < chain.size(); ++i) {
        CUniqueHandle handle;
        Result result = walk.Folder(parent.Get(), chain[i], i > 0, handle);
        // Nothing exists below a missing level; the line's open will fail and tell.
        if (result.finding == Finding::Missing) return Result();
        if (result.finding != Finding::Sound) return result;
        parent = std::move(handle);
    }
    Result result = walk.File(parent.Get(), chain.back());
    if (result.finding != Finding::Sound && result.finding != Finding::Missing) return result;
    if (folder) {
        folder->handle = std::move(parent);
        folder->finalPath = walk.Expected(chain.back());
    }
    return Result();
}

CLogFolderChain::Result CLogFolderChain::Read(const std::wstring& path, std::vector<Element>& elements) {
    elements.clear();
    std::wstring full = FullPath(path);
    CutPath cut = Cut(full);
    std::vector<std::wstring> chain = Chain(full);
    if (chain.empty()) return Found(Finding::Unverified, full, ERROR_BAD_PATHNAME);
    CUniqueHandle parent;
    std::wstring baseFinal;
    Result base = OpenBase(cut.base, parent, baseFinal);
    if (base.finding != Finding::Sound) return base;

    for (size_t i = 0; i < chain.size(); ++i) {
        Element element;
        element.path = chain[i];
        Result looked = LookByName(chain[i]);
        if (looked.finding != Finding::Sound && looked.finding != Finding::ReparsePoint) return looked;
        element.facts.reparsePoint = looked.finding == Finding::ReparsePoint;
        if (!element.facts.reparsePoint) {
            const bool file = i + 1 == chain.size();
            CUniqueHandle handle;
            CFileOpen::Outcome opened =
                CFileOpen::Open(parent.Get(), LeafName(chain[i]), Look(file ? kFileOptions : kFolderOptions), handle);
            if (!opened.Opened()) return NotOpened(opened, chain[i]);
            DWORD error = ReadShape(handle.Get(), ExpectedFinalPath(baseFinal, cut.base, chain[i]), element.facts);
            CSecurity security;
            if (error == ERROR_SUCCESS) error = security.Read(handle.Get(), OWNER_SECURITY_INFORMATION);
            if (error != ERROR_SUCCESS) return Found(Finding::Unverified, chain[i], error);
            element.facts.owner = security.Take();
            parent = std::move(handle);
        }
        const bool through = !element.facts.reparsePoint;
        elements.push_back(std::move(element));
        // Nothing is opened through a link.
        if (!through) break;
    }
    return Result();
}

CLogFolderChain::Result CLogFolderChain::Judge(const Element& element, OwnerRule trusted, PSID processUser) {
    Result shape = JudgeShape(element.path, element.facts);
    if (shape.finding != Finding::Sound) return shape;
    PSECURITY_DESCRIPTOR descriptor =
        element.facts.owner.empty() ? nullptr : const_cast<BYTE*>(element.facts.owner.data());
    return JudgeOwner(element.path, descriptor, trusted, processUser);
}

CLogFolderChain::Result CLogFolderChain::OpenForLine(const Folder& folder, TrustedFile& trusted, CUniqueHandle& file) {
    if (!folder.handle) return Found(Finding::Unopened, folder.path, ERROR_PATH_NOT_FOUND);
    CFileOpen::Request request;
    request.access = kLineAccess;
    request.share = kLineShare;
    request.disposition = CFileOpen::kOpenIf;
    request.options = kFileOptions;
    CFileOpen::Outcome opened = CFileOpen::Open(folder.handle.Get(), folder.name, request, file);
    if (opened.oplocked) return Found(Finding::Oplocked, folder.path, opened.Error());
    if (!opened.Opened()) return Found(Finding::Unopened, folder.path, opened.Error());
    CSecurity security;
    Result result = InspectHandle(file.Get(), folder.path, folder.finalPath, CTrustedOwner::ProcessUser(), 0,
                                  security, &trusted);
    if (result.finding != Finding::Sound) file.Reset();
    return result;
}

void CLogFolderChain::CGate::Reset() { *this = CGate(); }

CLogFolderChain::CGate::Step CLogFolderChain::CGate::Next(ULONGLONG nowMs) const {
    if (m_refused) return Step::Skip;
    bool due = nowMs >= m_notBeforeMs;
    if (m_checkFirst) return !due ? Step::Skip : m_prepared ? Step::Check : Step::Prepare;
    if (m_recheck && due) return Step::Check;
    return Step::Open;
}

bool CLogFolderChain::CGate::Take(const Result& result, ULONGLONG nowMs) {
    m_notBeforeMs = nowMs + kRecheckMs;
    if (result.finding == Finding::Sound || result.finding == Finding::Missing) {
        m_checkFirst = false;
        m_recheck = false;
        m_prepared = true;
        return false;
    }
    if (result.Refuses() && !m_prepared) {
        m_refused = true;
        return Tell(result.finding);
    }
    m_checkFirst = true;
    return Tell(result.finding);
}

bool CLogFolderChain::CGate::Line(const Result& result) {
    switch (result.finding) {
    case Finding::Sound:
        m_checkFirst = false;
        m_recheck = false;
        m_told = 0;
        return false;
    case Finding::Unopened:
    case Finding::Oplocked:
    case Finding::Unwritten:
        m_recheck = true;
        return Tell(result.finding);
    default:
        m_checkFirst = true;
        return Tell(result.finding);
    }
}

bool CLogFolderChain::CGate::Tell(Finding finding) {
    unsigned bit = 1u << static_cast<unsigned>(finding);
    if (m_told & bit) return false;
    m_told |= bit;
    return true;
}
