// Wide text as UTF-8: the one conversion of the logger and the helpers, apart
// from both so that neither includes the other for it.
#pragma once

#include <string>

// All of the text (a NUL inside included); an unpaired surrogate becomes U+FFFD.
std::string WideToUtf8(const std::wstring& text);
