#include "EnumerateGobiDeviceIds.h"

#include "Handles.h"
#include "Mbn.h"

#include <windows.h>
#include <setupapi.h>
#include <wrl/client.h>

#include <cwctype>

using Microsoft::WRL::ComPtr;

namespace {
// {AD498944-762F-11D0-8DCB-00C04FC3358C}
const GUID kNdisLanClass = {0xAD498944, 0x762F, 0x11D0, {0x8D, 0xCB, 0x00, 0xC0, 0x4F, 0xC3, 0x35, 0x8C}};
const wchar_t kExtQmuxServiceId[] = L"{D1A30BC2-F97A-6E43-BF65-C7E24FB0F0D3}";
const size_t kSetupApiBufferBytes = 4104;

std::wstring Lower(std::wstring text) {
    for (auto& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

// Splits as wcstok does: empty pieces between separators are dropped.
std::vector<std::wstring> Tokenize(const std::wstring& text, wchar_t separator) {
    std::vector<std::wstring> tokens;
    std::wstring current;
    for (wchar_t c : text) {
        if (c == separator) {
            if (!current.empty()) tokens.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) tokens.push_back(current);
    return tokens;
}

class CDeviceInfoSet {
public:
    explicit CDeviceInfoSet(HDEVINFO set) : m_set(set) {}
    ~CDeviceInfoSet() {
        if (IsValid()) ::SetupDiDestroyDeviceInfoList(m_set);
    }
    CDeviceInfoSet(const CDeviceInfoSet&) = delete;
    CDeviceInfoSet& operator=(const CDeviceInfoSet&) = delete;
    HDEVINFO Get() const { return m_set; }
    bool IsValid() const { return m_set != INVALID_HANDLE_VALUE && m_set != nullptr; }

private:
    HDEVINFO m_set;
};

// Balances CoInitialize when it succeeded, after every COM object of the scope is gone.
class CComInit {
public:
    CComInit() : m_hr(::CoInitialize(nullptr)) {}
    ~CComInit() {
        if (SUCCEEDED(m_hr)) ::CoUninitialize();
    }

private:
    HRESULT m_hr;
};

// Locks a one-dimensional safe array's elements for reading; count 0 when the
// array is unusable (other dimension, unreadable bounds, elements of another size).
class CSafeArrayData {
public:
    CSafeArrayData(SAFEARRAY* array, UINT elementSize) : m_array(nullptr) {
        if (!array || ::SafeArrayGetDim(array) != 1 || ::SafeArrayGetElemsize(array) != elementSize) return;
        LONG lower = 0, upper = -1;
        if (FAILED(::SafeArrayGetLBound(array, 1, &lower)) || FAILED(::SafeArrayGetUBound(array, 1, &upper))) return;
        if (upper < lower) return;
        if (FAILED(::SafeArrayAccessData(array, &m_data))) return;
        m_array = array;
        m_count = static_cast<size_t>(static_cast<LONGLONG>(upper) - lower + 1);
    }
    ~CSafeArrayData() {
        if (m_array) ::SafeArrayUnaccessData(m_array);
    }
    CSafeArrayData(const CSafeArrayData&) = delete;
    CSafeArrayData& operator=(const CSafeArrayData&) = delete;
    size_t Count() const { return m_count; }
    template <typename T>
    T* At(size_t index) const {
        return static_cast<T*>(m_data) + index;
    }

private:
    SAFEARRAY* m_array;
    void* m_data = nullptr;
    size_t m_count = 0;
};

bool HoldsInterfacePointers(SAFEARRAY* array) {
    VARTYPE type = VT_EMPTY;
    if (SUCCEEDED(::SafeArrayGetVartype(array, &type))) return type == VT_UNKNOWN || type == VT_DISPATCH;
    return (array->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) != 0;
}

// The records' strings belong to the caller unless the array frees them itself.
void FreeDeviceServiceStrings(SAFEARRAY* array) {
    if (array->fFeatures & (FADF_RECORD | FADF_BSTR | FADF_VARIANT | FADF_UNKNOWN | FADF_DISPATCH)) return;
    CSafeArrayData records(array, sizeof(MBN_DEVICE_SERVICE));
    for (size_t i = 0; i < records.Count(); ++i) {
        MBN_DEVICE_SERVICE* record = records.At<MBN_DEVICE_SERVICE>(i);
        ::SysFreeString(record->deviceServiceID);
        record->deviceServiceID = nullptr;
    }
}

bool ExposesExtQmux(IMbnDeviceServicesManager* manager, BSTR interfaceId) {
    ComPtr<IMbnDeviceServicesContext> context;
    if (FAILED(manager->GetDeviceServicesContext(interfaceId, context.GetAddressOf())) || !context) return false;
    CUniqueSafeArray services;
    if (FAILED(context->EnumerateDeviceServices(services.Put())) || !services) return false;
    bool found = false;
    {
        CSafeArrayData records(services.Get(), sizeof(MBN_DEVICE_SERVICE));
        for (size_t i = 0; i < records.Count() && !found; ++i) {
            const MBN_DEVICE_SERVICE* record = records.At<MBN_DEVICE_SERVICE>(i);
            if (record->deviceServiceID == nullptr) break;
            found = ::lstrcmpiW(record->deviceServiceID, kExtQmuxServiceId) == 0;
        }
    }
    FreeDeviceServiceStrings(services.Get());
    return found;
}
}  // namespace

std::wstring LanAdapterDeviceId(const std::wstring& devicePath, const std::wstring& manufacturer) {
    if (manufacturer.empty() || Lower(manufacturer).find(L"qualcomm") == std::wstring::npos) return std::wstring();
    std::vector<std::wstring> parts = Tokenize(Lower(devicePath), L'#');
    if (parts.size() < 4) return std::wstring();
    std::vector<std::wstring> pieces = Tokenize(parts[3], L'\\');
    if (pieces.size() < 2) return std::wstring();
    return pieces[1] + L"_1";
}

std::vector<std::wstring> GetLanAdapterDeviceIds() {
    std::vector<std::wstring> ids;
    CDeviceInfoSet set(
        ::SetupDiGetClassDevsW(&kNdisLanClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!set.IsValid()) return ids;

    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA interfaceData = {};
        interfaceData.cbSize = sizeof(interfaceData);
        if (!::SetupDiEnumDeviceInterfaces(set.Get(), nullptr, &kNdisLanClass, index, &interfaceData)) break;

        alignas(8) BYTE detailBuffer[kSetupApiBufferBytes] = {};
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(detailBuffer);
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        SP_DEVINFO_DATA deviceInfo = {};
        deviceInfo.cbSize = sizeof(deviceInfo);
        // One byte pair short of the buffer, so the path always ends in a NUL.
        if (!::SetupDiGetDeviceInterfaceDetailW(set.Get(), &interfaceData, detail,
                                                sizeof(detailBuffer) - sizeof(wchar_t), nullptr, &deviceInfo))
            break;
        std::wstring path = detail->DevicePath;

        wchar_t manufacturer[kSetupApiBufferBytes / sizeof(wchar_t)];
        manufacturer[0] = L'\0';
        DWORD type = 0;
        if (!::SetupDiGetDeviceRegistryPropertyW(set.Get(), &deviceInfo, SPDRP_MFG, &type,
                                                 reinterpret_cast<BYTE*>(manufacturer),
                                                 sizeof(manufacturer) - sizeof(wchar_t), nullptr))
            continue;
        manufacturer[kSetupApiBufferBytes / sizeof(wchar_t) - 1] = L'\0';

        std::wstring id = LanAdapterDeviceId(path, manufacturer);
        if (!id.empty()) ids.push_back(id);
    }
    return ids;
}

std::vector<std::wstring> GetQmuxServiceDeviceIds() {
    std::vector<std::wstring> ids;
    CComInit com;
    ComPtr<IMbnInterfaceManager> interfaceManager;
    if (FAILED(::CoCreateInstance(CLSID_MbnInterfaceManager, nullptr, CLSCTX_ALL, IID_IMbnInterfaceManager,
                                  reinterpret_cast<void**>(interfaceManager.GetAddressOf()))))
        return ids;
    ComPtr<IMbnDeviceServicesManager> servicesManager;
    if (FAILED(::CoCreateInstance(CLSID_MbnDeviceServicesManager, nullptr, CLSCTX_ALL, IID_IMbnDeviceServicesManager,
                                  reinterpret_cast<void**>(servicesManager.GetAddressOf()))))
        return ids;

    CUniqueSafeArray interfaces;
    if (FAILED(interfaceManager->GetInterfaces(interfaces.Put())) || !interfaces) return ids;
    if (!HoldsInterfacePointers(interfaces.Get())) return ids;
    CSafeArrayData elements(interfaces.Get(), sizeof(IUnknown*));
    for (size_t i = 0; i < elements.Count(); ++i) {
        IUnknown* element = *elements.At<IUnknown*>(i);
        if (!element) continue;
        ComPtr<IMbnInterface> mbnInterface;
        if (FAILED(element->QueryInterface(IID_IMbnInterface, reinterpret_cast<void**>(mbnInterface.GetAddressOf()))))
            continue;
        CUniqueBstr interfaceId;
        if (FAILED(mbnInterface->get_InterfaceID(interfaceId.Put())) || !interfaceId) continue;
        if (ExposesExtQmux(servicesManager.Get(), interfaceId.Get()))
            ids.push_back(std::wstring(L"EXT_QMUX:") + interfaceId.Get());
    }
    return ids;
}

std::vector<std::wstring> EnumerateGobiDeviceIds() {
    std::vector<std::wstring> ids = GetLanAdapterDeviceIds();
    std::vector<std::wstring> qmux = GetQmuxServiceDeviceIds();
    ids.insert(ids.end(), qmux.begin(), qmux.end());
    return ids;
}
