#include "CWWANDevice.h"

#include "CHelpers.h"
#include "CRegistryKey.h"
#include "Handles.h"
#include "Logger.h"
#include "MBSar.h"
#include "Mbn.h"

#include <wrl/client.h>

using Microsoft::WRL::ComPtr;

namespace {
class CCriticalSectionGuard {
public:
    explicit CCriticalSectionGuard(CRITICAL_SECTION& cs) : m_cs(&cs) { ::EnterCriticalSection(m_cs); }
    ~CCriticalSectionGuard() { Leave(); }
    void Leave() {
        if (m_cs) ::LeaveCriticalSection(m_cs);
        m_cs = nullptr;
    }

private:
    CRITICAL_SECTION* m_cs;
};

HRESULT GetInterfaceById(const wchar_t* interfaceId, ComPtr<IMbnInterface>& mbnInterface) {
    ComPtr<IMbnInterfaceManager> manager;
    HRESULT hr = ::CoCreateInstance(CLSID_MbnInterfaceManager, nullptr, CLSCTX_ALL, IID_IMbnInterfaceManager,
                                    reinterpret_cast<void**>(manager.GetAddressOf()));
    if (FAILED(hr)) return hr;
    return manager->GetInterface(interfaceId, mbnInterface.GetAddressOf());
}
}  // namespace

// The back-off lock lives with the object: set up here so no vendor can miss it.
CWWANDevice::CWWANDevice() : m_szInterfaceId{} { ::InitializeCriticalSection(&m_csTarvo); }

CWWANDevice::~CWWANDevice() { ::DeleteCriticalSection(&m_csTarvo); }

void CWWANDevice::SetInterfaceId(const wchar_t* interfaceId) {
    wcsncpy_s(m_szInterfaceId, interfaceId ? interfaceId : L"", _TRUNCATE);
}

int CWWANDevice::GetHardwareRadioState() {
    int result = -1;
    CComScope com;
    if (!com.Usable()) return -1;
    ComPtr<IMbnInterface> mbnInterface;
    if (FAILED(GetInterfaceById(m_szInterfaceId, mbnInterface)) || !mbnInterface) return -1;
    ComPtr<IMbnRadio> radio;
    if (FAILED(mbnInterface->QueryInterface(IID_IMbnRadio, reinterpret_cast<void**>(radio.GetAddressOf())))) return -1;
    MBN_RADIO state = MBN_RADIO_OFF;
    if (FAILED(radio->get_HardwareRadioState(&state))) return -1;
    if (state == MBN_RADIO_OFF) result = 0;
    if (state == MBN_RADIO_ON) result = 1;
    return result;
}

std::string CWWANDevice::GetCountryCode() {
    std::string result;
    CComScope com;
    if (!com.Usable()) return result;

    CRegistryKey key(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\TARVOSVC\\Parameters\\");
    if (char* value = key.ReadString("SetCountryCode", KEY_READ)) {
        result = value;
        delete[] value;
        return result;
    }

    ComPtr<IMbnInterface> mbnInterface;
    if (FAILED(GetInterfaceById(m_szInterfaceId, mbnInterface)) || !mbnInterface) return result;
    ComPtr<IMbnRegistration> registration;
    if (FAILED(mbnInterface->QueryInterface(IID_IMbnRegistration,
                                            reinterpret_cast<void**>(registration.GetAddressOf()))))
        return result;
    MBN_REGISTER_STATE state = MBN_REGISTER_STATE_NONE;
    if (FAILED(registration->GetRegisterState(&state))) return result;
    if (state != MBN_REGISTER_STATE_HOME && state != MBN_REGISTER_STATE_ROAMING && state != MBN_REGISTER_STATE_PARTNER)
        return result;
    BSTR providerId = nullptr;
    if (FAILED(registration->GetProviderID(&providerId)) || !providerId) return result;
    int length = static_cast<int>(::SysStringLen(providerId));
    std::string narrow(static_cast<size_t>(length) + 1, '\0');
    int written = ::WideCharToMultiByte(CP_ACP, 0, providerId, length, &narrow[0], length + 1, nullptr, nullptr);
    ::SysFreeString(providerId);
    narrow.resize(written > 0 ? static_cast<size_t>(written) : 0);
    // The mobile country code: the first three characters of the provider id.
    result = narrow.substr(0, 3);
    return result;
}

DWORD CWWANDevice::ReadTarvoRegistryValue(const std::string& valueName) {
    CRegistryKey key(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\TARVOSVC\\Parameters\\Tarvo");
    return key.ReadDWORD(valueName.c_str(), KEY_READ);
}

int CWWANDevice::RunTarvoCommand(const char* functionName, uint8_t state, const TarvoArgs& on, const TarvoArgs& off) {
    LogTraceEnter(functionName);
    CCriticalSectionGuard guard(m_csTarvo);
    int status = 1;
    if (state == 0) {
        LogWrite(functionName, "Tarvo Off", 0);
        status = MBSar::EnableTarvo(0, off.backoffOn, off.antennaIndex, off.backoffIndex);
    } else if (state == 1) {
        LogWrite(functionName, "Tarvo on", 0);
        status = MBSar::EnableTarvo(1, on.backoffOn, on.antennaIndex, on.backoffIndex);
    }
    if (status != 0)
        LogWrite(functionName, "MB SAR enable Tarvo failed", 2);
    else
        CHelpers::WriteTarvoState(state == 1, TARVO_SOURCE_MODEM);
    guard.Leave();
    LogTraceExit(functionName);
    return status;
}
