// Small COM helpers of the simulator: the reference count shared by its
// objects and the byte arrays and strings its methods hand out.
#pragma once

#include "Mbn.h"

#include <wrl/client.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

// Implements AddRef/Release for every interface the object derives from; the
// object answers QueryInterface itself. Objects start with one reference.
template <class... Interfaces>
class CSimComBase : public Interfaces... {
public:
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refCount; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG count = --m_refCount;
        if (count == 0) delete this;
        return count;
    }

protected:
    CSimComBase() = default;
    virtual ~CSimComBase() = default;

private:
    std::atomic<ULONG> m_refCount{1};
};

namespace simcom {

// Owns a new object through the one reference it starts with. (This
// toolchain's ComPtr::Attach adds a reference of its own, which would keep the
// object for good.)
template <class TInterface, class TObject>
Microsoft::WRL::ComPtr<TInterface> Adopt(TObject* created) {
    Microsoft::WRL::ComPtr<TInterface> owner;
    *owner.GetAddressOf() = created;
    return owner;
}

// A new one-dimensional VT_UI1 array with lower bound 0 holding a copy; null when out of memory.
SAFEARRAY* MakeByteArray(const std::vector<uint8_t>& bytes);
// The bytes of a one-dimensional array of 1-byte elements; a null array is empty.
bool ReadByteArray(SAFEARRAY* array, std::vector<uint8_t>& bytes);
// A BSTR copy, or E_OUTOFMEMORY.
HRESULT CopyBstr(const std::wstring& text, BSTR* out);
std::wstring Upper(const std::wstring& text);

}  // namespace simcom
