#include "CByteSafeArray.h"

#include <cstring>

SAFEARRAY* MakeByteSafeArray(const uint8_t* bytes, size_t length) {
    if (length > 0xFFFFFFFFu || (length > 0 && bytes == nullptr)) return nullptr;
    SAFEARRAY* array = ::SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(length));
    if (array == nullptr || length == 0) return array;
    void* data = nullptr;
    if (FAILED(::SafeArrayAccessData(array, &data))) {
        ::SafeArrayDestroy(array);
        return nullptr;
    }
    std::memcpy(data, bytes, length);
    ::SafeArrayUnaccessData(array);
    return array;
}

CByteSafeArray::CByteSafeArray(SAFEARRAY* array) {
    if (array == nullptr || ::SafeArrayGetDim(array) != 1 || ::SafeArrayGetElemsize(array) != 1) return;
    LONG lower = 0;
    LONG upper = -1;
    if (FAILED(::SafeArrayGetLBound(array, 1, &lower)) || FAILED(::SafeArrayGetUBound(array, 1, &upper))) return;
    if (upper < lower) return;
    void* data = nullptr;
    if (FAILED(::SafeArrayAccessData(array, &data)) || data == nullptr) return;
    m_pArray = array;
    m_pData = static_cast<const uint8_t*>(data);
    m_cbSize = static_cast<size_t>(static_cast<int64_t>(upper) - lower + 1);
}

CByteSafeArray::~CByteSafeArray() {
    if (m_pArray) ::SafeArrayUnaccessData(m_pArray);
}
