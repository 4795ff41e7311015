// Who may own what the service acts on as LocalSystem (a log folder, a named
// mutex it waits on): the system, the administrators, or the account the
// process runs as, which for the service is SYSTEM itself. Anything of another
// owner may have been made by a user to steer or stop the service.
#pragma once

#include <windows.h>
#include <string>

class CTrustedOwner {
public:
    // SYSTEM, Administrators, or processUser.
    static bool IsTrusted(PSID owner, PSID processUser);
    // The owner a descriptor names, null when it names none; false when the
    // descriptor cannot be read.
    static bool ReadOwner(PSECURITY_DESCRIPTOR descriptor, PSID& owner);
    // Whether a descriptor names an owner, and a trusted one; false without one.
    static bool IsTrustedOwnerOf(PSECURITY_DESCRIPTOR descriptor, PSID processUser);
    // The descriptor's owner as SID text; "?" when it has none.
    static std::wstring OwnerText(PSECURITY_DESCRIPTOR descriptor);
    static std::wstring SidText(PSID sid);

    // The user the process runs as, read once; null when it cannot be read.
    static PSID ProcessUser();
};
