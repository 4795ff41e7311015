#include "CTagFile.h"

#include "CTagFileTrust.h"
#include "CTrustedOwner.h"

#include <vector>

const wchar_t CTagFile::kPath[] = L"c://VAWMIR//Tarvo.tag";

CLogFolderChain::Result CTagFile::Find(const std::wstring& path) {
    std::vector<CLogFolderChain::Element> elements;
    CLogFolderChain::Result read = CLogFolderChain::Read(path, elements);
    if (read.finding != CLogFolderChain::Finding::Sound) return read;
    return CTagFileTrust::Decide(elements, CTrustedOwner::ProcessUser());
}
