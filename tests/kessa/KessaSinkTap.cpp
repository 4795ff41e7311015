#include "KessaSinkTap.h"

#include "CSimModemControl.h"
#include "Handles.h"

#include <atomic>
#include <cstring>

using Microsoft::WRL::ComPtr;

namespace {
typedef HRESULT(STDAPICALLTYPE* PFN_DllGetClassObject)(REFCLSID, REFIID, void**);

// IUnknown of the wrappers: an interlocked count, deleted at zero.
class CRefCounted {
public:
    virtual ~CRefCounted() = default;
    ULONG AddRefImpl() { return ++m_lRefs; }
    ULONG ReleaseImpl() {
        const ULONG refs = --m_lRefs;
        if (refs == 0) delete this;
        return refs;
    }

private:
    std::atomic<ULONG> m_lRefs{1};
};

class CTapPoint : public IConnectionPoint, private CRefCounted {
public:
    CTapPoint(ComPtr<IConnectionPoint> inner, CSinkTap& tap) : m_pInner(std::move(inner)), m_tap(tap) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (iid != IID_IUnknown && iid != IID_IConnectionPoint) return E_NOINTERFACE;
        *object = static_cast<IConnectionPoint*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override { return m_pInner->GetConnectionInterface(iid); }
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** container) override {
        return m_pInner->GetConnectionPointContainer(container);
    }
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override {
        const HRESULT hr = m_pInner->Advise(sink, cookie);
        if (SUCCEEDED(hr)) m_tap.KeepSink(sink);
        return hr;
    }
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override {
        const HRESULT hr = m_pInner->Unadvise(cookie);
        if (SUCCEEDED(hr)) m_tap.DropSink();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** connections) override {
        return m_pInner->EnumConnections(connections);
    }

private:
    ComPtr<IConnectionPoint> m_pInner;
    CSinkTap& m_tap;
};

class CTapManager : public IMbnDeviceServicesManager, public IConnectionPointContainer, private CRefCounted {
public:
    CTapManager(ComPtr<IMbnDeviceServicesManager> inner, ComPtr<IConnectionPointContainer> container, CSinkTap& tap)
        : m_pInner(std::move(inner)), m_pContainer(std::move(container)), m_tap(tap) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (iid == IID_IUnknown || iid == IID_IMbnDeviceServicesManager)
            *object = static_cast<IMbnDeviceServicesManager*>(this);
        else if (iid == IID_IConnectionPointContainer)
            *object = static_cast<IConnectionPointContainer*>(this);
        else
            return E_NOINTERFACE;
        AddRefImpl();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

    HRESULT STDMETHODCALLTYPE GetDeviceServicesContext(BSTR id, IMbnDeviceServicesContext** context) override {
        return m_pInner->GetDeviceServicesContext(id, context);
    }
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** points) override {
        return m_pContainer->EnumConnectionPoints(points);
    }
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** point) override {
        if (!point) return E_POINTER;
        ComPtr<IConnectionPoint> inner;
        const HRESULT hr = m_pContainer->FindConnectionPoint(iid, inner.GetAddressOf());
        if (FAILED(hr) || !inner) {
            *point = inner.Detach();
            return hr;
        }
        *point = new CTapPoint(inner, m_tap);
        return hr;
    }

private:
    ComPtr<IMbnDeviceServicesManager> m_pInner;
    ComPtr<IConnectionPointContainer> m_pContainer;
    CSinkTap& m_tap;
};

class CTapFactory : public IClassFactory, private CRefCounted {
public:
    CTapFactory(ComPtr<IClassFactory> inner, CSinkTap& tap) : m_pInner(std::move(inner)), m_tap(tap) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (iid != IID_IUnknown && iid != IID_IClassFactory) return E_NOINTERFACE;
        *object = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        // The simulator's faults on its class factory apply as before.
        ComPtr<IMbnDeviceServicesManager> inner;
        HRESULT hr = m_pInner->CreateInstance(nullptr, IID_IMbnDeviceServicesManager,
                                              reinterpret_cast<void**>(inner.GetAddressOf()));
        if (FAILED(hr) || !inner) return hr;
        ComPtr<IConnectionPointContainer> container;
        hr = inner.As(&container);
        if (FAILED(hr)) return hr;
        CTapManager* manager = new CTapManager(inner, container, m_tap);
        hr = manager->QueryInterface(iid, object);
        manager->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

private:
    ComPtr<IClassFactory> m_pInner;
    CSinkTap& m_tap;
};

SAFEARRAY* ByteArray(const std::vector<uint8_t>& bytes) {
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
}  // namespace

CSinkTap::~CSinkTap() { Revoke(); }

ComPtr<IClassFactory> CSinkTap::SimFactory() {
    // The very instance COM loaded for the simulator's registration.
    HMODULE module = ::LoadLibraryW(CSimModemControl::DefaultDllPath().c_str());
    if (!module) return nullptr;
    auto getClassObject =
        reinterpret_cast<PFN_DllGetClassObject>(reinterpret_cast<void*>(::GetProcAddress(module, "DllGetClassObject")));
    ComPtr<IClassFactory> factory;
    if (!getClassObject ||
        FAILED(getClassObject(CLSID_MbnDeviceServicesManager, IID_IClassFactory,
                              reinterpret_cast<void**>(factory.GetAddressOf()))))
        return nullptr;
    return factory;  // the module stays loaded for the life of the process, as COM keeps it
}

bool CSinkTap::Install() {
    ComPtr<IClassFactory> inner = SimFactory();
    if (!inner) return false;
    ComPtr<IClassFactory> factory;
    factory.Attach(new CTapFactory(inner, *this));
    return SUCCEEDED(::CoRegisterClassObject(CLSID_MbnDeviceServicesManager, factory.Get(), CLSCTX_INPROC_SERVER,
                                             REGCLS_MULTIPLEUSE, &m_dwCookie));
}

void CSinkTap::Revoke() {
    if (m_dwCookie) ::CoRevokeClassObject(m_dwCookie);
    m_dwCookie = 0;
    std::lock_guard<std::mutex> guard(m_csSink);
    m_pSink.Reset();
    m_pDiag.Reset();
}

void CSinkTap::KeepSink(IUnknown* sink) {
    ComPtr<IMbnDeviceServicesEvents> events;
    if (sink == nullptr ||
        FAILED(sink->QueryInterface(IID_IMbnDeviceServicesEvents, reinterpret_cast<void**>(events.GetAddressOf()))))
        return;
    std::lock_guard<std::mutex> guard(m_csSink);
    m_pSink = events;
}

void CSinkTap::DropSink() {
    std::lock_guard<std::mutex> guard(m_csSink);
    m_pSink.Reset();
}

ComPtr<IMbnDeviceServicesEvents> CSinkTap::Sink() {
    std::lock_guard<std::mutex> guard(m_csSink);
    return m_pSink;
}

ComPtr<IMbnDeviceService> CSinkTap::DiagService(const std::wstring& interfaceId) {
    {
        std::lock_guard<std::mutex> guard(m_csSink);
        if (m_pDiag) return m_pDiag;
    }
    ComPtr<IClassFactory> factory = SimFactory();
    ComPtr<IMbnDeviceServicesManager> manager;
    if (!factory || FAILED(factory->CreateInstance(nullptr, IID_IMbnDeviceServicesManager,
                                                   reinterpret_cast<void**>(manager.GetAddressOf()))))
        return nullptr;
    CUniqueBstr id(interfaceId.c_str());
    ComPtr<IMbnDeviceServicesContext> context;
    if (FAILED(manager->GetDeviceServicesContext(id.Get(), context.GetAddressOf())) || !context) return nullptr;
    CUniqueBstr diagId(SIMMODEM_SERVICE_DIAG);
    ComPtr<IMbnDeviceService> diag;
    if (FAILED(context->GetDeviceService(diagId.Get(), diag.GetAddressOf()))) return nullptr;
    std::lock_guard<std::mutex> guard(m_csSink);
    m_pDiag = diag;
    return diag;
}

bool CSinkTap::Notify(const std::wstring& interfaceId, const std::vector<uint8_t>& bytes) {
    ComPtr<IMbnDeviceServicesEvents> sink = Sink();
    ComPtr<IMbnDeviceService> diag = DiagService(interfaceId);
    if (!sink || !diag) return false;
    CUniqueSafeArray data(ByteArray(bytes));
    // The diag service's SAR data notifications carry event id 2.
    return data && SUCCEEDED(sink->OnEventNotification(diag.Get(), 2, data.Get()));
}
