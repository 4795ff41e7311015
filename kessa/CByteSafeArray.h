// Byte arrays (one-dimensional SAFEARRAY of VT_UI1) in and out of the Mobile
// Broadband API.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstddef>
#include <cstdint>

// A new array, lower bound 0, holding a copy of the bytes; null when it cannot be made.
SAFEARRAY* MakeByteSafeArray(const uint8_t* bytes, size_t length);

// Read access to the bytes of an array that the API hands over for the span
// of a callback. Anything that is not a one-dimensional array of one-byte
// elements reads as empty.
class CByteSafeArray {
public:
    explicit CByteSafeArray(SAFEARRAY* array);
    ~CByteSafeArray();
    CByteSafeArray(const CByteSafeArray&) = delete;
    CByteSafeArray& operator=(const CByteSafeArray&) = delete;

    const uint8_t* Data() const { return m_pData; }
    size_t Size() const { return m_cbSize; }

private:
    SAFEARRAY* m_pArray = nullptr;  // accessed (locked) while non-null
    const uint8_t* m_pData = nullptr;
    size_t m_cbSize = 0;
};
