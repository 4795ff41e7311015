#include "CLogFolderChain.h"

#include "WideToUtf8.h"

#include <aclapi.h>
#include <sddl.h>
#include <winternl.h>

#include <cstddef>
#include <cstring>
#include <cwctype>

namespace {
// Opens that only look: they share with any other and follow no link at their end.
const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
const DWORD kLookFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
const DWORD kLookAccess = READ_CONTROL | FILE_READ_ATTRIBUTES;
// A line's open: appending only, so every write lands at the end whoever else
// writes; readers and writers may share the file meanwhile, as the C runtime's
// deny-none opening let them.
const DWORD kLineAccess = FILE_APPEND_DATA | SYNCHRONIZE | kLookAccess;
const DWORD kLineShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

std::wstring SidText(PSID sid) {
    CUniqueLocal text;
    if (!::ConvertSidToStringSidW(sid, text.Put<wchar_t>())) return L"?";
    return text.Get<wchar_t>();
}

bool IsNotFound(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

CLogFolderChain::Result Found(CLogFolderChain::Finding finding, const std::wstring& element, DWORD error = 0) {
    CLogFolderChain::Result result;
    result.finding = finding;
    result.element = element;
    result.error = error;
    return result;
}

// The user the process runs as: the account whose own folders it may write through.
class CProcessUser {
public:
    CProcessUser() {
        HANDLE token = nullptr;
        if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return;
        CUniqueHandle owner(token);
        DWORD size = 0;
        ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        if (size < sizeof(TOKEN_USER)) return;
        m_buffer.resize(size);
        if (!::GetTokenInformation(token, TokenUser, m_buffer.data(), size, &size)) m_buffer.clear();
    }
    PSID Sid() const {
        return m_buffer.empty() ? nullptr : reinterpret_cast<const TOKEN_USER*>(m_buffer.data())->User.Sid;
    }

private:
    std::vector<BYTE> m_buffer;
};

// Read once: every line's check needs it, and a process keeps its user.
PSID ProcessUser() {
    static const CProcessUser user;
    return user.Sid();
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

// A path without the "\\?\" that the system puts before a final path ("\\?\UNC\" stands for "\\").
std::wstring PlainPath(const std::wstring& path) {
    if (path.compare(0, 4, L"\\\\?\\") != 0) return path;
    if (_wcsnicmp(path.c_str() + 4, L"UNC\\", 4) == 0) return L"\\\\" + path.substr(8);
    return path.substr(4);
}

// Names compare as the file system does, without regard to case.
bool IsSamePath(const std::wstring& reached, const std::wstring& element) {
    std::wstring a = PlainPath(reached);
    std::wstring b = PlainPath(element);
    return a.size() == b.size() && a.size() < 0x7FFFFFFF &&
           ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
               CSTR_EQUAL;
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
    PSID Owner() {
        PSID owner = nullptr;
        BOOL defaulted = FALSE;
        return ::GetSecurityDescriptorOwner(Descriptor(), &owner, &defaulted) ? owner : nullptr;
    }

private:
    std::vector<BYTE> m_buffer;
};

// What a handle shows of the folder or file that element names: no reparse
// point, one name for a file, the element's own path once every link is
// resolved, and a trusted owner. security receives the owner, and the access
// list when DACL_SECURITY_INFORMATION is asked.
CLogFolderChain::Result InspectHandle(HANDLE handle, const std::wstring& element, PSID processUser,
                                      SECURITY_INFORMATION extra, CSecurity& security,
                                      CLogFolderChain::TrustedFile* trusted = nullptr) {
    // These two classes rather than GetFileInformationByHandle, which also asks for the
    // volume: several times slower under Wine, and the volume plays no part here.
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    FILE_STANDARD_INFO standard = {};
    if (!::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof(tag)) ||
        !::GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof(standard)))
        return Found(CLogFolderChain::Finding::Unverified, element, ::GetLastError());
    if (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return Found(CLogFolderChain::Finding::ReparsePoint, element);
    if (!standard.Directory && standard.NumberOfLinks > 1) return Found(CLogFolderChain::Finding::SecondName, element);

    std::wstring reached;
    DWORD error = FinalPath(handle, reached);
    if (error != ERROR_SUCCESS) return Found(CLogFolderChain::Finding::Unverified, element, error);
    if (!IsSamePath(reached, element)) {
        CLogFolderChain::Result result = Found(CLogFolderChain::Finding::Elsewhere, element);
        result.reached = PlainPath(reached);
        return result;
    }

    // A file's owner can be changed by none but its owner, the system and the
    // administrators: the single-named file at this path whose owner was last
    // found trusted needs no second look. Its index costs what the attributes
    // cost; the owner is a round trip of its own to Wine's server, a fifth of a line.
    FILE_INTERNAL_INFORMATION internal = {};
    IO_STATUS_BLOCK status = {};
    bool indexed = trusted && ::NtQueryInformationFile(handle, &status, &internal, sizeof(internal),
                                                       FileInternalInformation) >= 0;
    if (indexed && trusted->known && trusted->index == internal.IndexNumber.QuadPart)
        return Found(CLogFolderChain::Finding::Sound, element);

    error = security.Read(handle, OWNER_SECURITY_INFORMATION | extra);
    if (error != ERROR_SUCCESS) return Found(CLogFolderChain::Finding::Unverified, element, error);
    PSID owner = security.Owner();
    if (!CLogFolderChain::IsTrustedOwner(owner, processUser)) {
        CLogFolderChain::Result result = Found(CLogFolderChain::Finding::ForeignOwner, element);
        result.owner = owner ? SidText(owner) : L"?";
        return result;
    }
    if (indexed) {
        trusted->known = true;
        trusted->index = internal.IndexNumber.QuadPart;
    }
    return Found(CLogFolderChain::Finding::Sound, element);
}

// A look at element through a handle of its own; access adds to what the look needs.
CLogFolderChain::Result OpenAndInspect(const std::wstring& element, PSID processUser, DWORD access,
                                       SECURITY_INFORMATION extra, CUniqueHandle& handle, CSecurity& security) {
    handle.Reset(::CreateFileW(element.c_str(), kLookAccess | access, kShareAll, nullptr, OPEN_EXISTING, kLookFlags,
                               nullptr));
    if (!handle) {
        DWORD error = ::GetLastError();
        return Found(IsNotFound(error) ? CLogFolderChain::Finding::Missing : CLogFolderChain::Finding::Unverified,
                     element, error);
    }
    return InspectHandle(handle.Get(), element, processUser, extra, security);
}

// One element of the chain; a folder of the service's own is given the access
// list through protect when it lets others change it.
CLogFolderChain::Result InspectElement(const std::wstring& element, PSID processUser,
                                       CLogFolderChain::ProtectFolderFn protect) {
    // By name first: Wine shows a Unix link to a folder here only, not through a handle.
    DWORD attributes = ::GetFileAttributesW(element.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD error = ::GetLastError();
        return Found(IsNotFound(error) ? CLogFolderChain::Finding::Missing : CLogFolderChain::Finding::Unverified,
                     element, error);
    }
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return Found(CLogFolderChain::Finding::ReparsePoint, element);

    CUniqueHandle handle;
    CSecurity security;
    CLogFolderChain::Result result = OpenAndInspect(element, processUser, 0, protect ? DACL_SECURITY_INFORMATION : 0,
                                                    handle, security);
    if (result.finding != CLogFolderChain::Finding::Sound || protect == nullptr ||
        !CLogFolderChain::GrantsOthersMoreThanRead(security.Descriptor(), processUser))
        return result;

    // A handle that may change the list, checked like the first: the list goes
    // to this folder and to no other that a link could stand for.
    result = OpenAndInspect(element, processUser, WRITE_DAC, 0, handle, security);
    if (result.finding == CLogFolderChain::Finding::Sound) {
        DWORD error = protect(handle.Get(), element.c_str(), CLogFolderChain::FolderDescriptor());
        return error == ERROR_SUCCESS ? result : Found(CLogFolderChain::Finding::Unprotected, element, error);
    }
    // Not to be opened for the change: it stays open to others.
    if (result.finding == CLogFolderChain::Finding::Unverified)
        return Found(CLogFolderChain::Finding::Unprotected, element, result.error);
    return result;
}

// A missing log file, made in its folder through a handle of that folder that
// has passed the check: the name is looked up from that handle, so no link in
// the chain above it is followed.
CLogFolderChain::Result MakeInCheckedFolder(const std::wstring& fullPath, PSID processUser, CUniqueHandle& file) {
    size_t slash = fullPath.find_last_of(L'\\');
    if (slash == std::wstring::npos || slash + 1 >= fullPath.size() || fullPath.size() - slash > 0x7FFF)
        return Found(CLogFolderChain::Finding::Unopened, fullPath, ERROR_FILE_NOT_FOUND);
    // "C:\" for a file in a drive's root, where the separator is part of the folder's name.
    std::wstring folder = fullPath.substr(0, slash > 0 && fullPath[slash - 1] == L':' ? slash + 1 : slash);
    std::wstring name = fullPath.substr(slash + 1);

    CUniqueHandle handle;
    CSecurity security;
    CLogFolderChain::Result result = OpenAndInspect(folder, processUser, 0, 0, handle, security);
    if (result.finding == CLogFolderChain::Finding::Missing)
        return Found(CLogFolderChain::Finding::Unopened, fullPath, result.error);
    if (result.finding != CLogFolderChain::Finding::Sound) return result;

    UNICODE_STRING nameString;
    nameString.Buffer = &name[0];
    nameString.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    nameString.MaximumLength = nameString.Length;
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &nameString, OBJ_CASE_INSENSITIVE, handle.Get(), nullptr);
    IO_STATUS_BLOCK status = {};
    HANDLE made = nullptr;
    NTSTATUS madeStatus =
        ::NtCreateFile(&made, kLineAccess, &object, &status, nullptr, FILE_ATTRIBUTE_NORMAL, kLineShare, FILE_OPEN_IF,
                       FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT, nullptr, 0);
    if (madeStatus < 0) return Found(CLogFolderChain::Finding::Unopened, fullPath, ::RtlNtStatusToDosError(madeStatus));
    file.Reset(made);
    return Found(CLogFolderChain::Finding::Sound, fullPath);
}
}  // namespace

const wchar_t CLogFolderChain::kFolderSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)";

bool CLogFolderChain::Result::Refuses() const {
    return finding == Finding::ReparsePoint || finding == Finding::ForeignOwner || finding == Finding::SecondName ||
           finding == Finding::Elsewhere || finding == Finding::Unprotected;
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

std::vector<std::wstring> CLogFolderChain::Chain(const std::wstring& fullPath) {
    bool isDrive = false;
    size_t root = RootLength(fullPath, isDrive);
    if (root == 0) return {};

    std::vector<std::wstring> names;
    for (size_t at = root; at < fullPath.size();) {
        size_t end = fullPath.find(L'\\', at);
        if (end == std::wstring::npos) end = fullPath.size();
        if (end > at) names.push_back(fullPath.substr(at, end - at));
        at = end + 1;
    }
    std::wstring current = fullPath.substr(0, root);
    size_t first = 0;
    if (isDrive && towupper(fullPath[root - 3]) == L'C' && names.size() > 1 && _wcsicmp(names[0].c_str(), L"ProgramData") == 0) {
        current += names[0] + L"\\";
        first = 1;
    }
    std::vector<std::wstring> chain;
    for (size_t i = first; i < names.size(); ++i) {
        if (i > first) current += L'\\';
        current += names[i];
        chain.push_back(current);
    }
    return chain;
}

bool CLogFolderChain::IsTrustedOwner(PSID owner, PSID processUser) {
    if (owner == nullptr || !::IsValidSid(owner)) return false;
    if (::IsWellKnownSid(owner, WinLocalSystemSid) || ::IsWellKnownSid(owner, WinBuiltinAdministratorsSid)) return true;
    return processUser != nullptr && ::IsValidSid(processUser) && ::EqualSid(owner, processUser);
}

bool CLogFolderChain::GrantsOthersMoreThanRead(PSECURITY_DESCRIPTOR descriptor, PSID processUser) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL acl = nullptr;
    if (descriptor == nullptr || !::GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted)) return true;
    // No list lets everyone do everything.
    if (!present || acl == nullptr) return true;
    if (!::IsValidAcl(acl)) return true;

    GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    const ACCESS_MASK readOnly = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;
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
        if ((mask & ~readOnly) == 0) continue;
        // The plain and callback entries name their trustee at one place; the
        // others are taken for someone else's.
        if (type == ACCESS_ALLOWED_ACE_TYPE || type == ACCESS_ALLOWED_CALLBACK_ACE_TYPE) {
            const BYTE* sid = reinterpret_cast<const BYTE*>(header) + sidAt;
            // Revision, count and authority first; then the count's sub-authorities.
            if (header->AceSize >= sidAt + 8 && header->AceSize >= sidAt + 8 + 4 * static_cast<size_t>(sid[1]) &&
                IsTrustedOwner(const_cast<BYTE*>(sid), processUser))
                continue;
        }
        return true;
    }
    return false;
}

std::string CLogFolderChain::Describe(const Result& result) {
    std::string text = "No log file: " + WideToUtf8(result.element);
    switch (result.finding) {
    case Finding::ReparsePoint: return text + " is a junction, link or mount point";
    case Finding::ForeignOwner: return text + " is owned by " + WideToUtf8(result.owner);
    case Finding::SecondName: return text + " has a second name (hard link)";
    case Finding::Unverified: return text + " cannot be checked, error " + std::to_string(result.error);
    case Finding::Elsewhere: return text + " leads to " + WideToUtf8(result.reached);
    case Finding::Unprotected:
        return text + " lets others change it and cannot be given the logger's access list, error " +
               std::to_string(result.error);
    default: return text;
    }
}

DWORD CLogFolderChain::ProtectFolder(HANDLE folder, const wchar_t*, PSECURITY_DESCRIPTOR descriptor) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL acl = nullptr;
    if (descriptor == nullptr || !::GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted) || !present)
        return ERROR_INVALID_SECURITY_DESCR;
    return ::SetSecurityInfo(folder, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                             nullptr, nullptr, acl, nullptr);
}

CLogFolderChain::Result CLogFolderChain::Prepare(const std::wstring& path, const Changes& changes) {
    std::vector<std::wstring> chain = Chain(FullPath(path));
    PSID user = ProcessUser();
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), FolderDescriptor(), FALSE};
    for (size_t i = 0; i < chain.size(); ++i) {
        const std::wstring& element = chain[i];
        bool isFolder = i + 1 < chain.size();
        // A folder without the access list would take its parent's, which under
        // ProgramData lets any user create in it: none is made then.
        if (isFolder && changes.makeFolder && attributes.lpSecurityDescriptor &&
            ::GetFileAttributesW(element.c_str()) == INVALID_FILE_ATTRIBUTES && IsNotFound(::GetLastError()))
            changes.makeFolder(element.c_str(), &attributes);
        bool isOwnFolder = isFolder && i > 0 && attributes.lpSecurityDescriptor;
        Result result = InspectElement(element, user, isOwnFolder ? changes.protectFolder : nullptr);
        // Nothing exists below a missing level; the file's open will fail and tell.
        if (result.finding == Finding::Missing) return Result();
        if (result.finding != Finding::Sound) return result;
    }
    return Result();
}

CLogFolderChain::Result CLogFolderChain::Inspect(const std::wstring& element, PSID processUser) {
    return InspectElement(element, processUser, nullptr);
}

CLogFolderChain::Result CLogFolderChain::OpenForLine(const std::wstring& fullPath, TrustedFile& trusted,
                                                     CUniqueHandle& file) {
    PSID user = ProcessUser();
    // An existing file only: were the open to make it, a link on the way would choose where.
    file.Reset(::CreateFileW(fullPath.c_str(), kLineAccess, kLineShare, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) {
        DWORD error = ::GetLastError();
        if (error != ERROR_FILE_NOT_FOUND) return Found(Finding::Unopened, fullPath, error);
        Result made = MakeInCheckedFolder(fullPath, user, file);
        if (made.finding != Finding::Sound) return made;
    }
    CSecurity security;
    Result result = InspectHandle(file.Get(), fullPath, user, 0, security, &trusted);
    if (result.finding != Finding::Sound) file.Reset();
    return result;
}

void CLogFolderChain::CGate::Reset() { *this = CGate(); }

CLogFolderChain::CGate::Step CLogFolderChain::CGate::Next(ULONGLONG nowMs) const {
    if (m_refused) return Step::Skip;
    if (!m_checkFirst) return Step::Open;
    if (nowMs < m_notBeforeMs) return Step::Skip;
    return m_prepared ? Step::Check : Step::Prepare;
}

bool CLogFolderChain::CGate::Take(const Result& result, ULONGLONG nowMs) {
    if (result.Refuses() && !m_prepared) {
        m_refused = true;
        return Tell(result.finding);
    }
    if (result.Refuses() || result.finding == Finding::Unverified) {
        m_checkFirst = true;
        m_notBeforeMs = nowMs + kRecheckMs;
        return Tell(result.finding);
    }
    m_checkFirst = false;
    m_prepared = true;
    m_notBeforeMs = 0;
    return false;
}

bool CLogFolderChain::CGate::Line(const Result& result) {
    switch (result.finding) {
    case Finding::Sound:
        m_checkFirst = false;
        m_told = 0;
        return false;
    case Finding::Unopened:
        m_checkFirst = true;
        return false;
    default: return Tell(result.finding);
    }
}

bool CLogFolderChain::CGate::Tell(Finding finding) {
    unsigned bit = 1u << static_cast<unsigned>(finding);
    if (m_told & bit) return false;
    m_told |= bit;
    return true;
}
