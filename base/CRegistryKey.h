// One registry key named by a root and a sub-key path; every operation opens
// the sub-key, does its one read or write and closes it again.
#pragma once

#include <windows.h>
#include <string>

class CRegistryKey {
public:
    CRegistryKey();
    explicit CRegistryKey(HKEY root);
    CRegistryKey(HKEY root, const char* subKey);
    ~CRegistryKey();
    CRegistryKey(const CRegistryKey&) = delete;
    CRegistryKey& operator=(const CRegistryKey&) = delete;

    HKEY GetRoot() const;
    std::string GetSubKey() const;
    void SetRoot(HKEY root);
    void SetSubKey(const char* subKey);

    // The value, or 0xFFFFFFFF on every failure.
    DWORD ReadDWORD(const char* valueName, REGSAM access);
    // A 260-byte buffer the caller frees with delete[], or null.
    char* ReadString(const char* valueName, REGSAM access);
    int KeyExists(REGSAM access);
    int WriteString(const char* valueName, const char* value, REGSAM access);
    int WriteDWORD(const char* valueName, DWORD value, REGSAM access);

private:
    HKEY m_hRootKey;
    std::string m_strSubKey;
};
