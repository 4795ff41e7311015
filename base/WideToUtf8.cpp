#include "WideToUtf8.h"

#include <windows.h>

#include <climits>

std::string WideToUtf8(const std::wstring& text) {
    if (text.empty() || text.size() > static_cast<size_t>(INT_MAX)) return std::string();
    int length = static_cast<int>(text.size());
    int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return std::string();
    std::string narrow(static_cast<size_t>(size), '\0');
    int written = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, &narrow[0], size, nullptr, nullptr);
    narrow.resize(static_cast<size_t>(written > 0 ? written : 0));
    return narrow;
}
