#include "CLogFolderChain.h"

#include "Handles.h"
#include "WideToUtf8.h"

#include <aclapi.h>
#include <sddl.h>

#include <cwctype>

namespace {
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
}  // namespace

const wchar_t CLogFolderChain::kFolderSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)";

bool CLogFolderChain::Result::Refuses() const {
    return finding == Finding::ReparsePoint || finding == Finding::ForeignOwner || finding == Finding::SecondName;
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

std::string CLogFolderChain::Describe(const Result& result) {
    std::string text = "No log file: " + WideToUtf8(result.element);
    switch (result.finding) {
    case Finding::ReparsePoint: return text + " is a junction, link or mount point";
    case Finding::ForeignOwner: return text + " is owned by " + WideToUtf8(result.owner);
    case Finding::SecondName: return text + " has a second name (hard link)";
    case Finding::Unverified: return text + " cannot be checked, error " + std::to_string(result.error);
    default: return text;
    }
}

CLogFolderChain::Result CLogFolderChain::Prepare(const std::wstring& path, MakeFolderFn makeFolder) {
    wchar_t full[MAX_PATH] = {};
    DWORD length = ::GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
    std::vector<std::wstring> chain = Chain(length > 0 && length < MAX_PATH ? std::wstring(full) : path);

    CProcessUser user;
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), FolderDescriptor(), FALSE};
    for (size_t i = 0; i < chain.size(); ++i) {
        const std::wstring& element = chain[i];
        bool isFolder = i + 1 < chain.size();
        // A folder without the access list would take its parent's, which under
        // ProgramData lets any user create in it: none is made then.
        if (isFolder && makeFolder && attributes.lpSecurityDescriptor &&
            ::GetFileAttributesW(element.c_str()) == INVALID_FILE_ATTRIBUTES && IsNotFound(::GetLastError()))
            makeFolder(element.c_str(), &attributes);
        Result result = Inspect(element, user.Sid());
        // Nothing exists below a missing level; the file's open will fail and tell.
        if (result.finding == Finding::Missing) return Result();
        if (result.finding != Finding::Sound) return result;
    }
    return Result();
}

CLogFolderChain::Result CLogFolderChain::Inspect(const std::wstring& element, PSID processUser) {
    // By name first: Wine shows a Unix link to a folder here only, not through a handle.
    DWORD attributes = ::GetFileAttributesW(element.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD error = ::GetLastError();
        return Found(IsNotFound(error) ? Finding::Missing : Finding::Unverified, element, error);
    }
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return Found(Finding::ReparsePoint, element);

    // Attributes and owner only: such an open shares with any other and follows no link.
    CUniqueHandle handle(::CreateFileW(element.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle) {
        DWORD error = ::GetLastError();
        return Found(IsNotFound(error) ? Finding::Missing : Finding::Unverified, element, error);
    }
    // These two classes rather than GetFileInformationByHandle, which also asks for the
    // volume: several times slower under Wine, and the volume plays no part here.
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    FILE_STANDARD_INFO standard = {};
    if (!::GetFileInformationByHandleEx(handle.Get(), FileAttributeTagInfo, &tag, sizeof(tag)) ||
        !::GetFileInformationByHandleEx(handle.Get(), FileStandardInfo, &standard, sizeof(standard)))
        return Found(Finding::Unverified, element, ::GetLastError());
    if (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return Found(Finding::ReparsePoint, element);
    if (!standard.Directory && standard.NumberOfLinks > 1) return Found(Finding::SecondName, element);

    PSID owner = nullptr;
    CUniqueLocal descriptor;
    DWORD error = ::GetSecurityInfo(handle.Get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                                    nullptr, descriptor.Put<void>());
    if (error != ERROR_SUCCESS) return Found(Finding::Unverified, element, error);
    if (!IsTrustedOwner(owner, processUser)) {
        Result result = Found(Finding::ForeignOwner, element);
        result.owner = SidText(owner);
        return result;
    }
    return Found(Finding::Sound, element);
}

void CLogFolderChain::CGate::Reset() { *this = CGate(); }

CLogFolderChain::CGate::Step CLogFolderChain::CGate::Next(ULONGLONG nowMs) const {
    if (m_refused) return Step::Skip;
    if (!m_checkFirst) return Step::Open;
    if (nowMs < m_notBeforeMs) return Step::Skip;
    return m_prepared ? Step::Check : Step::Prepare;
}

bool CLogFolderChain::CGate::Take(const Result& result, ULONGLONG nowMs) {
    if (result.Refuses()) {
        m_refused = true;
        return true;
    }
    if (result.finding == Finding::Unverified) {
        m_checkFirst = true;
        m_notBeforeMs = nowMs + kRecheckMs;
        bool tell = !m_toldUnverified;
        m_toldUnverified = true;
        return tell;
    }
    m_checkFirst = false;
    m_prepared = true;
    m_notBeforeMs = 0;
    return false;
}

void CLogFolderChain::CGate::Opened(bool opened) { m_checkFirst = !opened; }
