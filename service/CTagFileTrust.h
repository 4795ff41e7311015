// Whether the tag file that stops the back-off start-up counts. Any user may
// make a folder at the drive root and a file in it, so the tag counts only
// where an administrator could have placed it: its folder and the file owned
// by SYSTEM, the administrators, TrustedInstaller or the account the service
// runs as (SYSTEM), neither a junction, link or mount point, the file with one
// name. A tag that does not count leaves the back-off control to start.
#pragma once

#include "CLogFolderChain.h"

#include <windows.h>
#include <string>
#include <vector>

class CTagFileTrust {
public:
    // SYSTEM, Administrators, TrustedInstaller, or processUser.
    static bool IsTrustedOwner(PSID owner, PSID processUser);
    // Pure: the tag's folders and the file, outermost first, as the reading
    // found them. Sound when the tag counts, else what refuses it.
    static CLogFolderChain::Result Decide(const std::vector<CLogFolderChain::Element>& elements, PSID processUser);
    // The one line that says why a tag does not count.
    static std::string Describe(const CLogFolderChain::Result& result);
};
