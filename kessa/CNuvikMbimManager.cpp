#include "CNuvikMbimManager.h"

#include "CDeviceServicesSink.h"
#include "CInterfaceManagerEventsSink.h"
#include "CNuvikMbimServices.h"
#include "Handles.h"
#include "KessaTrace.h"

#include <exception>
#include <memory>
#include <new>

using Microsoft::WRL::ComPtr;

const char CNuvikMbimManager::kSarDiagServiceId[] = "{2d0c12c9-0e6a-495a-915c-8d174fe5d63c}";
const char CNuvikMbimManager::kSarServiceId[] = "{68223D04-9F6C-4E0F-822D-28441FB72340}";
const char CNuvikMbimManager::kAuxServiceId[] = "{11223344-5566-7788-99AA-BBCCDDEEFF11}";

namespace {
const DWORD kInitSessionTimeoutMs = 500;
const DWORD kReopenSessionTimeoutMs = 5000;

std::atomic<CNuvikMbimManager*> s_pInstance{nullptr};
// Not an object of its own: the runtime would destroy it at the end of the
// process too, after the other threads were stopped wherever they were, and
// destroying the manager's locks then waits for any lock of the threading
// runtime that one of them held (the worker takes one at its very start).
// ReleaseInstance lets it go when the library alone is freed.
std::shared_ptr<CNuvikMbimManager>* s_pOwner = nullptr;
std::atomic_flag s_bCreating = ATOMIC_FLAG_INIT;

std::wstring Widen(const std::string& text) {
    if (text.empty()) return std::wstring();
    int size = ::MultiByteToWideChar(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0);
    if (size <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), &wide[0], size);
    return wide;
}

void CloseSession(CNuvikMbimManager::DeviceServicePtr& service) {
    if (!service) return;
    ULONG requestId = 0;
    service->CloseCommandSession(&requestId);
    service.Reset();
}
}  // namespace

CNuvikMbimManager* CNuvikMbimManager::GetInstance() {
    CNuvikMbimManager* instance = s_pInstance.load(std::memory_order_acquire);
    if (instance) return instance;
    while (s_bCreating.test_and_set(std::memory_order_acquire)) ::SwitchToThread();
    instance = s_pInstance.load(std::memory_order_acquire);
    if (!instance) {
        try {
            std::unique_ptr<std::shared_ptr<CNuvikMbimManager>> owner(
                new std::shared_ptr<CNuvikMbimManager>(std::make_shared<CNuvikMbimManager>()));
            instance = owner->get();
            s_pOwner = owner.release();
            s_pInstance.store(instance, std::memory_order_release);
        } catch (const std::exception& e) {
            KessaPrint("CNuvikMbimManager::GetInstance exception: %s\n", e.what());
        }
    }
    s_bCreating.clear(std::memory_order_release);
    return instance;
}

void CNuvikMbimManager::ReleaseInstance() {
    s_pInstance.store(nullptr, std::memory_order_release);
    delete s_pOwner;
    s_pOwner = nullptr;
}

CNuvikMbimManager::CNuvikMbimManager()
    : m_pServices(new CNuvikMbimServices(*this)),
      m_pInterfaceManagerSink(new CInterfaceManagerEventsSink()),
      m_pDeviceServicesSink(new CDeviceServicesSink()) {
    // The manager's own references: the sinks outlive every Advise and Unadvise.
    m_pInterfaceManagerSink->AddRef();
    m_pDeviceServicesSink->AddRef();
}

CNuvikMbimManager::~CNuvikMbimManager() {
    // Left as they are on purpose (see the header): only the pointers are dropped.
    (void)m_pDeviceServicesManager.Detach();
    (void)m_pInterfaceManager.Detach();
    (void)m_pDeviceServicesContext.Detach();
    (void)m_pDeviceServicesPoint.Detach();
    (void)m_pInterfaceManagerPoint.Detach();
    (void)m_pDiagService.Detach();
    (void)m_pSarService.Detach();
    (void)m_pAuxService.Detach();
}

int CNuvikMbimManager::Init(std::string interfaceId) {
    std::lock_guard<std::mutex> api(m_csApi);
    if (m_bInitialised) return 1;
    const HRESULT hrCom = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const int result = InitSessions(interfaceId);
    if (m_bInitialised) {
        m_bComInitialised = SUCCEEDED(hrCom);
        return result;
    }
    // A later Init builds everything again: nothing stays advised or held twice.
    ReleaseAll();
    if (SUCCEEDED(hrCom)) ::CoUninitialize();
    return result;
}

HRESULT CNuvikMbimManager::GetService(IMbnDeviceServicesContext* context, const char* id, DeviceServicePtr& service) {
    CUniqueBstr bstrId(Widen(id).c_str());
    HRESULT hr = context->GetDeviceService(bstrId.Get(), service.ReleaseAndGetAddressOf());
    return SUCCEEDED(hr) && !service ? E_POINTER : hr;
}

int CNuvikMbimManager::InitSessions(const std::string& interfaceId) {
    ComPtr<IMbnDeviceServicesManager> deviceServicesManager;
    if (FAILED(::CoCreateInstance(CLSID_MbnDeviceServicesManager, nullptr, CLSCTX_ALL, IID_IMbnDeviceServicesManager,
                                  reinterpret_cast<void**>(deviceServicesManager.GetAddressOf()))) ||
        !deviceServicesManager)
        return -1;
    ComPtr<IMbnInterfaceManager> interfaceManager;
    if (FAILED(::CoCreateInstance(CLSID_MbnInterfaceManager, nullptr, CLSCTX_ALL, IID_IMbnInterfaceManager,
                                  reinterpret_cast<void**>(interfaceManager.GetAddressOf()))) ||
        !interfaceManager)
        return -1;
    {
        std::lock_guard<std::mutex> guard(m_csServices);
        m_pDeviceServicesManager = deviceServicesManager;
        m_pInterfaceManager = interfaceManager;
        m_strInterfaceId = interfaceId;
    }
    m_pServices->StartWorker();

    CUniqueBstr bstrInterfaceId(Widen(interfaceId).c_str());
    ComPtr<IMbnDeviceServicesContext> context;
    if (FAILED(deviceServicesManager->GetDeviceServicesContext(bstrInterfaceId.Get(), context.GetAddressOf())) ||
        !context)
        return -1;
    DeviceServicePtr diag, sar, aux;
    if (FAILED(GetService(context.Get(), kSarDiagServiceId, diag))) return -1;
    if (FAILED(GetService(context.Get(), kSarServiceId, sar))) return -1;
    if (FAILED(GetService(context.Get(), kAuxServiceId, aux))) {
        KessaPrint("fail to get device service\n");
        return -1;
    }
    {
        std::lock_guard<std::mutex> guard(m_csServices);
        m_pDeviceServicesContext = context;
    }
    SetDeviceServices(diag, sar, aux);

    if (!AdviseSink(deviceServicesManager.Get(), IID_IMbnDeviceServicesEvents,
                    static_cast<IMbnDeviceServicesEvents*>(m_pDeviceServicesSink), m_pDeviceServicesSink,
                    m_pDeviceServicesPoint, m_dwDeviceServicesCookie))
        return -1;
    if (!AdviseSink(interfaceManager.Get(), IID_IMbnInterfaceManagerEvents,
                    static_cast<IMbnInterfaceManagerEvents*>(m_pInterfaceManagerSink), m_pInterfaceManagerSink,
                    m_pInterfaceManagerPoint, m_dwInterfaceManagerCookie))
        return -1;

    for (IMbnDeviceService* service : {diag.Get(), sar.Get(), aux.Get()}) {
        switch (OpenCommandSessionAndWait(service, kInitSessionTimeoutMs)) {
            case SessionResult::RequestFailed:
                return 0;
            case SessionResult::TimedOut:
                return -1;
            case SessionResult::Opened:
                break;
        }
    }
    m_bMbimReady = 1;
    m_bInitialised = 1;
    return 0;
}

bool CNuvikMbimManager::AdviseSink(IUnknown* source, REFIID eventsIid, IUnknown* sink, MbnSubject* subject,
                                   ComPtr<IConnectionPoint>& point, DWORD& cookie) {
    ComPtr<IConnectionPointContainer> container;
    if (FAILED(source->QueryInterface(IID_IConnectionPointContainer,
                                      reinterpret_cast<void**>(container.GetAddressOf()))) ||
        !container)
        return false;
    ComPtr<IConnectionPoint> connectionPoint;
    if (FAILED(container->FindConnectionPoint(eventsIid, connectionPoint.GetAddressOf())) || !connectionPoint)
        return false;
    ComPtr<IUnknown> sinkUnknown;
    if (FAILED(sink->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(sinkUnknown.GetAddressOf()))))
        return false;
    DWORD newCookie = 0;
    HRESULT hr = connectionPoint->Advise(sinkUnknown.Get(), &newCookie);
    if (FAILED(hr)) return false;
    if (newCookie == 0) return false;
    subject->Attach(m_pServices);
    point = connectionPoint;
    cookie = newCookie;
    return true;
}

void CNuvikMbimManager::ReleaseAll() {
    DeviceServicePtr diag, sar, aux;
    ComPtr<IMbnDeviceServicesManager> deviceServicesManager;
    ComPtr<IMbnInterfaceManager> interfaceManager;
    ComPtr<IMbnDeviceServicesContext> context;
    {
        std::lock_guard<std::mutex> guard(m_csServices);
        diag.Swap(m_pDiagService);
        sar.Swap(m_pSarService);
        aux.Swap(m_pAuxService);
        deviceServicesManager.Swap(m_pDeviceServicesManager);
        interfaceManager.Swap(m_pInterfaceManager);
        context.Swap(m_pDeviceServicesContext);
    }
    CloseSession(diag);
    CloseSession(sar);
    CloseSession(aux);
    if (m_pDeviceServicesPoint) m_pDeviceServicesPoint->Unadvise(m_dwDeviceServicesCookie);
    if (m_pInterfaceManagerPoint) m_pInterfaceManagerPoint->Unadvise(m_dwInterfaceManagerCookie);
    m_dwDeviceServicesCookie = 0;
    m_dwInterfaceManagerCookie = 0;
    m_pDeviceServicesPoint.Reset();
    m_pInterfaceManagerPoint.Reset();
    context.Reset();
    deviceServicesManager.Reset();
    interfaceManager.Reset();
    m_pDeviceServicesSink->Detach(m_pServices);
    m_pInterfaceManagerSink->Detach(m_pServices);
}

int CNuvikMbimManager::UnInit() {
    std::lock_guard<std::mutex> api(m_csApi);
    if (!m_bInitialised) return 0;
    ReleaseAll();
    m_bMbimReady = 0;
    m_bInitialised = 0;
    if (m_bComInitialised) ::CoUninitialize();
    m_bComInitialised = false;
    return 0;
}

SarDeviceContext* CNuvikMbimManager::OpenDeviceServices() {
    std::lock_guard<std::mutex> api(m_csApi);
    if (!m_bInitialised) return nullptr;
    return m_pServices->OpenContext();
}

int CNuvikMbimManager::CloseDeviceServices(SarDeviceContext* handle) {
    std::lock_guard<std::mutex> api(m_csApi);
    if (!m_bInitialised) return -1;
    m_pServices->CloseContext(handle);
    return 0;
}

int CNuvikMbimManager::OpenSarServices() {
    if (!m_bInitialised) return 0;
    ComPtr<IMbnDeviceServicesManager> deviceServicesManager;
    std::string interfaceId;
    {
        std::lock_guard<std::mutex> guard(m_csServices);
        deviceServicesManager = m_pDeviceServicesManager;
        interfaceId = m_strInterfaceId;
    }
    if (!deviceServicesManager) return -1;
    CUniqueBstr bstrInterfaceId(Widen(interfaceId).c_str());
    ComPtr<IMbnDeviceServicesContext> context;
    if (FAILED(deviceServicesManager->GetDeviceServicesContext(bstrInterfaceId.Get(), context.GetAddressOf())) ||
        !context)
        return -1;
    DeviceServicePtr diag, sar;
    if (FAILED(GetService(context.Get(), kSarDiagServiceId, diag))) return -1;
    {
        std::lock_guard<std::mutex> guard(m_csServices);
        m_pDeviceServicesContext = context;
        m_pDiagService = diag;
    }
    if (FAILED(GetService(context.Get(), kSarServiceId, sar))) return -1;
    {
        std::lock_guard<std::mutex> guard(m_csServices);
        m_pSarService = sar;
    }

    switch (OpenCommandSessionAndWait(diag.Get(), kReopenSessionTimeoutMs)) {
        case SessionResult::RequestFailed:
            KessaPrint("error open command session (device service)\n");
            return -1;
        case SessionResult::TimedOut:
            KessaPrint("error get command session (device service)\n");
            return -1;
        case SessionResult::Opened:
            break;
    }
    switch (OpenCommandSessionAndWait(sar.Get(), kReopenSessionTimeoutMs)) {
        case SessionResult::RequestFailed:
            KessaPrint("error open command session (sar service)\n");
            return -1;
        case SessionResult::TimedOut:
            KessaPrint("error get command session (sar service)\n");
            return -1;
        case SessionResult::Opened:
            break;
    }
    KessaPrint("OpenSarServices success\n");
    return 1;
}

void CNuvikMbimManager::OnInterfaceArrival() {
    uint32_t removals = 0;
    {
        std::lock_guard<std::mutex> guard(m_csReady);
        removals = m_dwRemovals;
    }
    // Ready even when the reopening failed, unless the modem went away again meanwhile.
    OpenSarServices();
    {
        std::lock_guard<std::mutex> guard(m_csReady);
        if (m_dwRemovals == removals) m_bMbimReady = 1;
    }
    KessaPrint("mbimready: %d\n\n", static_cast<int>(m_bMbimReady.load()));
}

void CNuvikMbimManager::OnInterfaceRemoval() {
    std::lock_guard<std::mutex> api(m_csApi);
    if (m_bInitialised) {
        DeviceServicePtr diag, sar;
        {
            std::lock_guard<std::mutex> guard(m_csServices);
            diag.Swap(m_pDiagService);
            sar.Swap(m_pSarService);
        }
        CloseSession(diag);
        CloseSession(sar);
    }
    {
        std::lock_guard<std::mutex> guard(m_csReady);
        ++m_dwRemovals;
        m_bMbimReady = 0;
    }
    KessaPrint("mbimready: %d\n\n", static_cast<int>(m_bMbimReady.load()));
}

void CNuvikMbimManager::OnCommandSessionOpened(IUnknown* service, ULONG requestId) {
    if (service == nullptr) return;
    DeviceServicePtr diag, sar, aux;
    {
        std::lock_guard<std::mutex> guard(m_csServices);
        diag = m_pDiagService;
        sar = m_pSarService;
        aux = m_pAuxService;
    }
    // The same COM object as one of ours: compared by identity, as COM defines it.
    const ComPtr<IUnknown> identity = MbnIdentityOf(service);
    auto same = [&identity](const DeviceServicePtr& ours) {
        return identity && identity.Get() == MbnIdentityOf(ours.Get()).Get();
    };
    CCompletionWake* wake = nullptr;
    if (same(diag) || same(aux))
        wake = &m_sessionWakeA;
    else if (same(sar))
        wake = &m_sessionWakeB;
    if (wake) {
        wake->Signal();
        return;
    }

    // Another object: ours only when it confirms the open that is waited for.
    {
        std::lock_guard<std::mutex> guard(m_csOpen);
        if (!m_bOpenRequested || (m_bOpenIdKnown && requestId != m_dwOpenRequestId)) return;
    }
    const MbnServiceIds ids = MbnServiceIds::Of(service);
    {
        std::lock_guard<std::mutex> guard(m_csOpen);
        if (!m_bOpenRequested) return;
        if (!m_bOpenIdKnown) {
            // Before OpenCommandSession has even returned its request id.
            if (m_earlyConfirmations.size() < 16) m_earlyConfirmations.push_back(EarlyConfirmation{requestId, ids});
            return;
        }
        if (requestId != m_dwOpenRequestId || !ids.SameAs(m_openIds)) return;
        wake = m_pOpenWake;
    }
    if (wake) wake->Signal();
}

CNuvikMbimManager::SessionResult CNuvikMbimManager::OpenCommandSessionAndWait(IMbnDeviceService* service,
                                                                              DWORD timeoutMs) {
    if (service == nullptr) return SessionResult::RequestFailed;
    CCompletionWake* wake = &m_sessionWakeA;
    {
        std::lock_guard<std::mutex> guard(m_csServices);
        if (service == m_pSarService.Get()) wake = &m_sessionWakeB;
    }
    std::lock_guard<std::mutex> session(m_csSession);
    // The ticket comes first: a confirmation that arrives before the wait still counts.
    const CCompletionWake::Ticket ticket = wake->Arm();
    const MbnServiceIds ids = MbnServiceIds::Of(service);
    {
        std::lock_guard<std::mutex> guard(m_csOpen);
        m_bOpenRequested = true;
        m_bOpenIdKnown = false;
        m_earlyConfirmations.clear();
    }
    ULONG requestId = 0;
    const HRESULT hr = service->OpenCommandSession(&requestId);
    bool confirmed = false;
    {
        std::lock_guard<std::mutex> guard(m_csOpen);
        m_bOpenIdKnown = true;
        m_dwOpenRequestId = requestId;
        m_openIds = ids;
        m_pOpenWake = wake;
        for (const EarlyConfirmation& early : m_earlyConfirmations)
            confirmed = confirmed || (early.requestId == requestId && early.ids.SameAs(ids));
        m_earlyConfirmations.clear();
    }
    SessionResult result = SessionResult::RequestFailed;
    if (SUCCEEDED(hr)) {
        if (confirmed) wake->Signal();
        result = wake->WaitSince(ticket, std::chrono::milliseconds(timeoutMs)) ? SessionResult::Opened
                                                                               : SessionResult::TimedOut;
    }
    std::lock_guard<std::mutex> guard(m_csOpen);
    m_bOpenRequested = false;
    return result;
}

CNuvikMbimManager::DeviceServicePtr CNuvikMbimManager::GetDiagService() const {
    std::lock_guard<std::mutex> guard(m_csServices);
    return m_pDiagService;
}

CNuvikMbimManager::DeviceServicePtr CNuvikMbimManager::GetSarService() const {
    std::lock_guard<std::mutex> guard(m_csServices);
    return m_pSarService;
}

CNuvikMbimManager::DeviceServicePtr CNuvikMbimManager::GetAuxService() const {
    std::lock_guard<std::mutex> guard(m_csServices);
    return m_pAuxService;
}

void CNuvikMbimManager::SetDeviceServices(DeviceServicePtr diag, DeviceServicePtr sar, DeviceServicePtr aux) {
    std::lock_guard<std::mutex> guard(m_csServices);
    m_pDiagService = std::move(diag);
    m_pSarService = std::move(sar);
    m_pAuxService = std::move(aux);
}
