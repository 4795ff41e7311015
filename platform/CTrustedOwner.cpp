#include "CTrustedOwner.h"

#include "Handles.h"

#include <sddl.h>

#include <vector>

namespace {
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
}  // namespace

bool CTrustedOwner::IsTrusted(PSID owner, PSID processUser) {
    if (owner == nullptr || !::IsValidSid(owner)) return false;
    if (::IsWellKnownSid(owner, WinLocalSystemSid) || ::IsWellKnownSid(owner, WinBuiltinAdministratorsSid)) return true;
    return processUser != nullptr && ::IsValidSid(processUser) && ::EqualSid(owner, processUser);
}

bool CTrustedOwner::ReadOwner(PSECURITY_DESCRIPTOR descriptor, PSID& owner) {
    owner = nullptr;
    BOOL defaulted = FALSE;
    return descriptor != nullptr && ::IsValidSecurityDescriptor(descriptor) &&
           ::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
}

bool CTrustedOwner::IsTrustedOwnerOf(PSECURITY_DESCRIPTOR descriptor, PSID processUser) {
    PSID owner = nullptr;
    return ReadOwner(descriptor, owner) && IsTrusted(owner, processUser);
}

std::wstring CTrustedOwner::OwnerText(PSECURITY_DESCRIPTOR descriptor) {
    PSID owner = nullptr;
    return ReadOwner(descriptor, owner) ? SidText(owner) : L"?";
}

std::wstring CTrustedOwner::SidText(PSID sid) {
    CUniqueLocal text;
    if (sid == nullptr || !::ConvertSidToStringSidW(sid, text.Put<wchar_t>())) return L"?";
    return text.Get<wchar_t>();
}

// Read once: every log line's check needs it, and a process keeps its user.
PSID CTrustedOwner::ProcessUser() {
    static const CProcessUser user;
    return user.Sid();
}
