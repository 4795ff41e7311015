#include "CRegistryKey.h"

#include "Handles.h"

#include <cstring>

namespace {
const DWORD kStringBufferSize = 260;
}

CRegistryKey::CRegistryKey() : m_hRootKey(nullptr) {}

CRegistryKey::CRegistryKey(HKEY root) : m_hRootKey(root) {}

CRegistryKey::CRegistryKey(HKEY root, const char* subKey) : m_hRootKey(root) {
    if (subKey) m_strSubKey = subKey;
}

CRegistryKey::~CRegistryKey() {
    if (m_hRootKey) ::RegCloseKey(m_hRootKey);
}

HKEY CRegistryKey::GetRoot() const { return m_hRootKey; }

std::string CRegistryKey::GetSubKey() const { return m_strSubKey; }

void CRegistryKey::SetRoot(HKEY root) { m_hRootKey = root; }

void CRegistryKey::SetSubKey(const char* subKey) {
    if (subKey) m_strSubKey = subKey;
}

DWORD CRegistryKey::ReadDWORD(const char* valueName, REGSAM access) {
    if (!m_hRootKey || m_strSubKey.empty() || !valueName) return 0xFFFFFFFF;
    CUniqueHKey key;
    if (::RegOpenKeyExA(m_hRootKey, m_strSubKey.c_str(), 0, access, key.Put()) != ERROR_SUCCESS) return 0xFFFFFFFF;
    DWORD value = 0;
    DWORD type = 0;
    DWORD size = sizeof(value);
    if (::RegQueryValueExA(key.Get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
        ERROR_SUCCESS)
        return 0xFFFFFFFF;
    return value;
}

char* CRegistryKey::ReadString(const char* valueName, REGSAM access) {
    if (!m_hRootKey || m_strSubKey.empty() || !valueName) return nullptr;
    CUniqueHKey key;
    if (::RegOpenKeyExA(m_hRootKey, m_strSubKey.c_str(), 0, access, key.Put()) != ERROR_SUCCESS) return nullptr;
    // One byte more than the registry may fill, so the text is always terminated.
    char* buffer = new char[kStringBufferSize + 1]();
    DWORD type = 0;
    DWORD size = kStringBufferSize;
    if (::RegQueryValueExA(key.Get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
        ERROR_SUCCESS) {
        delete[] buffer;
        return nullptr;
    }
    return buffer;
}

int CRegistryKey::KeyExists(REGSAM access) {
    if (!m_hRootKey || m_strSubKey.empty()) return 0;
    CUniqueHKey key;
    return ::RegOpenKeyExA(m_hRootKey, m_strSubKey.c_str(), 0, access, key.Put()) == ERROR_SUCCESS ? 1 : 0;
}

int CRegistryKey::WriteString(const char* valueName, const char* value, REGSAM access) {
    if (!m_hRootKey || m_strSubKey.empty() || !valueName || !value) return 0;
    CUniqueHKey key;
    if (::RegCreateKeyExA(m_hRootKey, m_strSubKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr,
                          key.Put(), nullptr) != ERROR_SUCCESS)
        return 0;
    char stored[kStringBufferSize] = {};
    DWORD size = sizeof(stored);
    size_t length = std::strlen(value);
    // A stored value that begins with the new one counts as equal.
    if (::RegQueryValueExA(key.Get(), valueName, nullptr, nullptr, reinterpret_cast<BYTE*>(stored), &size) ==
            ERROR_SUCCESS &&
        length <= sizeof(stored) && std::memcmp(stored, value, length) == 0)
        return 1;
    if (::RegSetValueExA(key.Get(), valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                         static_cast<DWORD>(length + 1)) != ERROR_SUCCESS)
        return 0;
    return 1;
}

int CRegistryKey::WriteDWORD(const char* valueName, DWORD value, REGSAM access) {
    if (!m_hRootKey || m_strSubKey.empty() || !valueName) return 0;
    CUniqueHKey key;
    if (::RegCreateKeyExA(m_hRootKey, m_strSubKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr,
                          key.Put(), nullptr) != ERROR_SUCCESS)
        return 0;
    DWORD stored = 0;
    DWORD size = sizeof(stored);
    if (::RegQueryValueExA(key.Get(), valueName, nullptr, nullptr, reinterpret_cast<BYTE*>(&stored), &size) ==
            ERROR_SUCCESS &&
        size == sizeof(stored) && stored == value)
        return 1;
    if (::RegSetValueExA(key.Get(), valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)) !=
        ERROR_SUCCESS)
        return 0;
    return 1;
}
