// The tag file "c://VAWMIR//Tarvo.tag" as the worker finds it at start: read
// from the drive root down, each element opened relative to the one above
// without following a link, lending the service's identity to no link's far
// end and waiting on no oplock, then judged by CTagFileTrust.
#pragma once

#include "CLogFolderChain.h"

#include <string>

class CTagFile {
public:
    static const wchar_t kPath[];

    // Sound: the tag is there and counts. Missing: it is not there. Anything
    // else: it is there, or may be, and does not count (CTagFileTrust::Describe).
    static CLogFolderChain::Result Find(const std::wstring& path = kPath);
};
