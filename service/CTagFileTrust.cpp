#include "CTagFileTrust.h"

#include "CTrustedOwner.h"

#include <sddl.h>

namespace {
// NT SERVICE\TrustedInstaller, which owns what Windows itself installs. Built
// once and kept for the life of the process; null if it cannot be.
PSID TrustedInstaller() {
    static const PSID sid = [] {
        PSID parsed = nullptr;
        if (!::ConvertStringSidToSidW(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", &parsed))
            return PSID(nullptr);
        return parsed;
    }();
    return sid;
}
}  // namespace

bool CTagFileTrust::IsTrustedOwner(PSID owner, PSID processUser) {
    if (CTrustedOwner::IsTrusted(owner, processUser)) return true;
    PSID installer = TrustedInstaller();
    return owner != nullptr && installer != nullptr && ::IsValidSid(owner) && ::EqualSid(owner, installer);
}

CLogFolderChain::Result CTagFileTrust::Decide(const std::vector<CLogFolderChain::Element>& elements,
                                              PSID processUser) {
    for (const CLogFolderChain::Element& element : elements) {
        CLogFolderChain::Result judged = CLogFolderChain::Judge(element, &CTagFileTrust::IsTrustedOwner, processUser);
        if (judged.finding != CLogFolderChain::Finding::Sound) return judged;
    }
    CLogFolderChain::Result result;
    // Only a file is a tag.
    if (elements.empty() || elements.back().facts.directory) {
        result.finding = CLogFolderChain::Finding::Missing;
        if (!elements.empty()) result.element = elements.back().path;
    }
    return result;
}

std::string CTagFileTrust::Describe(const CLogFolderChain::Result& result) {
    return "Tarvo.tag does not count: " + CLogFolderChain::Explain(result);
}
