#include "SimCom.h"

#include <cwctype>
#include <cstring>

namespace simcom {

SAFEARRAY* MakeByteArray(const std::vector<uint8_t>& bytes) {
    SAFEARRAY* array = ::SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
    if (!array || bytes.empty()) return array;
    void* data = nullptr;
    if (FAILED(::SafeArrayAccessData(array, &data))) {
        ::SafeArrayDestroy(array);
        return nullptr;
    }
    std::memcpy(data, bytes.data(), bytes.size());
    ::SafeArrayUnaccessData(array);
    return array;
}

bool ReadByteArray(SAFEARRAY* array, std::vector<uint8_t>& bytes) {
    bytes.clear();
    if (!array) return true;
    if (::SafeArrayGetDim(array) != 1 || ::SafeArrayGetElemsize(array) != 1) return false;
    LONG lower = 0, upper = -1;
    if (FAILED(::SafeArrayGetLBound(array, 1, &lower)) || FAILED(::SafeArrayGetUBound(array, 1, &upper))) return false;
    if (upper < lower) return true;
    void* data = nullptr;
    if (FAILED(::SafeArrayAccessData(array, &data))) return false;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    bytes.assign(p, p + (static_cast<size_t>(upper) - static_cast<size_t>(lower) + 1));
    ::SafeArrayUnaccessData(array);
    return true;
}

HRESULT CopyBstr(const std::wstring& text, BSTR* out) {
    *out = ::SysAllocStringLen(text.c_str(), static_cast<UINT>(text.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

std::wstring Upper(const std::wstring& text) {
    std::wstring result = text;
    for (wchar_t& c : result) c = static_cast<wchar_t>(std::towupper(c));
    return result;
}

}  // namespace simcom
