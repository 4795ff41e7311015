// The SAR layer over the Mobile Broadband COM API: the default modem is the
// first interface the interface manager reports; a command is a SetCommand or
// QueryCommand on a device service of that interface, completed through the
// device-services events; the transmission monitor is MBIM_CID_MS_TRANSMISSION
// _STATUS (command 2 of the SAR-control service) and its notifications.
#include "SarPlatform.h"

#include "Handles.h"
#include "Mbn.h"
#include "MbnIdentity.h"

#include <objbase.h>
#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <iterator>
#include <mutex>
#include <deque>

using Microsoft::WRL::ComPtr;

namespace {
// {68223D04-9F6C-4E0F-822D-28441FB72340}
const GUID kSarServiceId = {0x68223D04, 0x9F6C, 0x4E0F, {0x82, 0x2D, 0x28, 0x44, 0x1F, 0xB7, 0x23, 0x40}};
const ULONG kCidTransmissionStatus = 2;
// A session or monitoring switch that the platform never confirms is a
// failure, not a hang (10 s on the system's clock, see SarAwaitCompletion).
const DWORD kConfirmBoundMs = 10000;

// Threads without COM of their own use the process-wide multithreaded
// apartment, joined once and kept for the life of the process.
void JoinProcessApartment() {
    static std::once_flag once;
    std::call_once(once, [] {
        CO_MTA_USAGE_COOKIE cookie = nullptr;
        ::CoIncrementMTAUsage(&cookie);
    });
}

template <typename T>
HRESULT CreateMbnObject(const CLSID& clsid, const IID& iid, ComPtr<T>& object) {
    JoinProcessApartment();
    return ::CoCreateInstance(clsid, nullptr, CLSCTX_ALL, iid, reinterpret_cast<void**>(object.ReleaseAndGetAddressOf()));
}

void ThrowIfFailed(HRESULT hr) {
    if (FAILED(hr)) throw hresult_error(hr);
}

std::wstring GuidText(const GUID& guid) {
    wchar_t text[64] = {};
    ::StringFromGUID2(guid, text, 64);
    return text;
}

std::vector<uint8_t> BytesOf(SAFEARRAY* array) {
    std::vector<uint8_t> bytes;
    VARTYPE type = VT_EMPTY;
    if (!array || ::SafeArrayGetDim(array) != 1 || FAILED(::SafeArrayGetVartype(array, &type)) ||
        (type != VT_UI1 && type != VT_I1) || ::SafeArrayGetElemsize(array) != 1)
        return bytes;
    LONG lower = 0;
    LONG upper = -1;
    if (FAILED(::SafeArrayGetLBound(array, 1, &lower)) || FAILED(::SafeArrayGetUBound(array, 1, &upper)) ||
        upper < lower)
        return bytes;
    void* data = nullptr;
    if (FAILED(::SafeArrayAccessData(array, &data))) return bytes;
    const uint8_t* first = static_cast<const uint8_t*>(data);
    bytes.assign(first, first + (static_cast<size_t>(upper) - static_cast<size_t>(lower) + 1));
    ::SafeArrayUnaccessData(array);
    return bytes;
}

SAFEARRAY* MakeByteArray(const std::vector<uint8_t>& bytes) {
    SAFEARRAY* array = ::SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
    if (!array) throw hresult_error(E_OUTOFMEMORY);
    if (!bytes.empty()) {
        void* data = nullptr;
        if (FAILED(::SafeArrayAccessData(array, &data))) {
            ::SafeArrayDestroy(array);
            throw hresult_error(E_FAIL);
        }
        std::memcpy(data, bytes.data(), bytes.size());
        ::SafeArrayUnaccessData(array);
    }
    return array;
}

// One asynchronous result, completed once from a platform thread.
template <typename TResult>
class CAsync : public ISarAsync<TResult> {
public:
    void Completed(std::function<void()> handler) override {
        std::unique_lock<std::mutex> guard(m_lock);
        if (!m_done) {
            m_handler = std::move(handler);
            return;
        }
        guard.unlock();
        handler();
    }
    TResult GetResults() override {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_done) throw hresult_error(static_cast<HRESULT>(0x8000000EL));  // E_ILLEGAL_METHOD_CALL
        if (FAILED(m_error)) throw hresult_error(m_error);
        return m_result;
    }
    void Complete(TResult result, HRESULT error = S_OK) {
        std::function<void()> handler;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_done) return;
            m_done = true;
            m_result = std::move(result);
            m_error = error;
            handler = std::move(m_handler);
        }
        if (handler) handler();
    }

private:
    std::mutex m_lock;
    bool m_done = false;
    TResult m_result{};
    HRESULT m_error = S_OK;
    std::function<void()> m_handler;
};

class CAsyncAction : public ISarAsync<void> {
public:
    explicit CAsyncAction(HRESULT error) : m_error(error) {}
    void Completed(std::function<void()> handler) override { handler(); }
    void GetResults() override {
        if (FAILED(m_error)) throw hresult_error(m_error);
    }

private:
    HRESULT m_error;
};

using CommandOperation = CAsync<SarCommandResult>;

// Receives the device-services events of every command this layer sends and
// hands each completion to the operation that waits for it. A completion is
// ours when it carries the request id that the platform gave our request, on
// the same service: the same COM identity, or the same interface and service
// ids. A completion may arrive before the sender has registered for it: it is
// kept until claimed. Completions for other clients' requests are never claimed.
class CDeviceServicesHub : public IMbnDeviceServicesEvents {
public:
    static CDeviceServicesHub& Instance() {
        // Lives as long as the process: COM may call it until the very end.
        static CDeviceServicesHub* hub = new CDeviceServicesHub();
        return *hub;
    }

    ComPtr<IMbnDeviceServicesManager> Manager() {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_manager) {
            ComPtr<IMbnDeviceServicesManager> manager;
            ThrowIfFailed(CreateMbnObject(CLSID_MbnDeviceServicesManager, IID_IMbnDeviceServicesManager, manager));
            ComPtr<IConnectionPointContainer> container;
            ThrowIfFailed(manager->QueryInterface(IID_IConnectionPointContainer,
                                                  reinterpret_cast<void**>(container.GetAddressOf())));
            ComPtr<IConnectionPoint> point;
            ThrowIfFailed(container->FindConnectionPoint(IID_IMbnDeviceServicesEvents, point.GetAddressOf()));
            DWORD cookie = 0;
            ThrowIfFailed(point->Advise(static_cast<IMbnDeviceServicesEvents*>(this), &cookie));
            m_point = point;
            m_manager = manager;
        }
        return m_manager;
    }

    struct Completion {
        HRESULT status = S_OK;
        std::vector<uint8_t> data;
    };
    using Waiter = std::function<void(const Completion&)>;
    using Listener = std::function<void(IMbnDeviceService*, ULONG eventId, const std::vector<uint8_t>&)>;

    // Runs waiter with the completion of the request requestId made on service
    // (which serves key), now when it came already. Forgotten once owner is
    // gone: then nobody waits for it any more.
    void Expect(IMbnDeviceService* service, const MbnServiceIds& key, ULONG requestId, std::weak_ptr<void> owner,
                Waiter waiter) {
        ComPtr<IUnknown> identity = MbnIdentityOf(service);
        std::vector<Pending> gone;  // let go after the lock
        std::unique_lock<std::mutex> guard(m_lock);
        Forget(gone);
        for (auto it = m_unclaimed.begin(); it != m_unclaimed.end(); ++it) {
            const bool sameObject = identity && it->identity == reinterpret_cast<uintptr_t>(identity.Get());
            if (it->requestId != requestId || !(sameObject || key.SameAs(it->key))) continue;
            Completion completion = std::move(it->completion);
            m_unclaimed.erase(it);
            guard.unlock();
            waiter(completion);
            return;
        }
        m_waiters.push_back(Pending{requestId, identity, key, std::move(owner), std::move(waiter)});
    }

    // Lets go at once of the requests whose waiter gave up: each holds the
    // device service it was made on (and so its session).
    void Prune() {
        std::vector<Pending> gone;  // let go after the lock
        std::lock_guard<std::mutex> guard(m_lock);
        Forget(gone);
    }

    void AddListener(Listener listener) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_listeners.push_back(std::move(listener));
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMbnDeviceServicesEvents)) {
            *object = static_cast<IMbnDeviceServicesEvents*>(this);
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE OnQuerySupportedCommandsComplete(IMbnDeviceService*, SAFEARRAY*, HRESULT,
                                                               ULONG) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnOpenCommandSessionComplete(IMbnDeviceService* service, HRESULT status,
                                                           ULONG requestId) override {
        Deliver(service, requestId, Completion{status, {}});
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnCloseCommandSessionComplete(IMbnDeviceService*, HRESULT, ULONG) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnSetCommandComplete(IMbnDeviceService* service, ULONG, SAFEARRAY* data, HRESULT status,
                                                   ULONG requestId) override {
        Deliver(service, requestId, Completion{status, BytesOf(data)});
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnQueryCommandComplete(IMbnDeviceService* service, ULONG, SAFEARRAY* data,
                                                     HRESULT status, ULONG requestId) override {
        Deliver(service, requestId, Completion{status, BytesOf(data)});
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnEventNotification(IMbnDeviceService* service, ULONG eventId,
                                                  SAFEARRAY* data) override {
        std::vector<Listener> listeners;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            listeners = m_listeners;
        }
        std::vector<uint8_t> bytes = BytesOf(data);
        for (const Listener& listener : listeners) listener(service, eventId, bytes);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnOpenDataSessionComplete(IMbnDeviceService*, HRESULT, ULONG) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnCloseDataSessionComplete(IMbnDeviceService*, HRESULT, ULONG) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnWriteDataComplete(IMbnDeviceService*, HRESULT, ULONG) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnReadData(IMbnDeviceService*, SAFEARRAY*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnInterfaceStateChange(BSTR, MBN_DEVICE_SERVICES_INTERFACE_STATE) override {
        return S_OK;
    }

private:
    CDeviceServicesHub() = default;

    // A request we wait for.
    struct Pending {
        ULONG requestId = 0;
        ComPtr<IUnknown> identity;
        MbnServiceIds key;
        std::weak_ptr<void> owner;
        Waiter waiter;
    };
    // A completion nobody claimed yet. The identity is only compared: a sender
    // that claims it holds its object, so the address is still that object's.
    struct Unclaimed {
        ULONG requestId = 0;
        uintptr_t identity = 0;
        MbnServiceIds key;
        Completion completion;
    };

    // Lock held: moves the requests whose waiter gave up to gone, for the
    // caller to release their objects after the lock.
    void Forget(std::vector<Pending>& gone) {
        auto given = std::stable_partition(m_waiters.begin(), m_waiters.end(),
                                           [](const Pending& p) { return !p.owner.expired(); });
        std::move(given, m_waiters.end(), std::back_inserter(gone));
        m_waiters.erase(given, m_waiters.end());
    }

    // Lock held: moves the request that this completion answers to taken.
    // Without a key only the identity is compared.
    bool TakePending(ULONG requestId, IUnknown* identity, const MbnServiceIds* key, Pending& taken,
                     std::vector<Pending>& gone) {
        Forget(gone);
        for (auto it = m_waiters.begin(); it != m_waiters.end(); ++it) {
            const bool sameObject = identity && it->identity.Get() == identity;
            if (it->requestId != requestId || !(sameObject || (key && key->SameAs(it->key)))) continue;
            taken = std::move(*it);
            m_waiters.erase(it);
            return true;
        }
        return false;
    }

    void Deliver(IMbnDeviceService* service, ULONG requestId, Completion completion) {
        ComPtr<IUnknown> identity = MbnIdentityOf(service);
        Pending taken;
        std::vector<Pending> gone;
        bool found = false;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            found = TakePending(requestId, identity.Get(), nullptr, taken, gone);
        }
        if (!found) {
            // Another object than the sender's: its ids say which service it is
            // (read outside the lock, as any call into the platform).
            const MbnServiceIds key = MbnServiceIds::Of(service);
            std::lock_guard<std::mutex> guard(m_lock);
            found = TakePending(requestId, identity.Get(), &key, taken, gone);
            if (!found) {
                // Early, or another client's: kept for a while in case it is ours.
                m_unclaimed.push_back(
                    Unclaimed{requestId, reinterpret_cast<uintptr_t>(identity.Get()), key, std::move(completion)});
                if (m_unclaimed.size() > 256) m_unclaimed.pop_front();
                return;
            }
        }
        taken.waiter(completion);
    }

    std::mutex m_lock;
    ComPtr<IMbnDeviceServicesManager> m_manager;
    ComPtr<IConnectionPoint> m_point;
    std::vector<Pending> m_waiters;
    std::deque<Unclaimed> m_unclaimed;
    std::vector<Listener> m_listeners;
};

// An operation that the hub completes. Once its last holder lets it go (the
// caller took its result, or gave up waiting), the hub forgets its request at
// once, not only at the next request or completion.
template <typename TResult>
class CExpectedOperation : public CAsync<TResult> {
public:
    ~CExpectedOperation() override { CDeviceServicesHub::Instance().Prune(); }
};

std::shared_ptr<CommandOperation> SendCommand(const ComPtr<IMbnDeviceService>& service, const MbnServiceIds& key,
                                              bool set, uint32_t commandId, const std::vector<uint8_t>& data) {
    CUniqueSafeArray array(MakeByteArray(data));
    ULONG requestId = 0;
    HRESULT hr = set ? service->SetCommand(commandId, array.Get(), &requestId)
                     : service->QueryCommand(commandId, array.Get(), &requestId);
    ThrowIfFailed(hr);
    std::shared_ptr<CommandOperation> operation = std::make_shared<CExpectedOperation<SarCommandResult>>();
    std::weak_ptr<CommandOperation> weak = operation;
    CDeviceServicesHub::Instance().Expect(service.Get(), key, requestId, operation,
                                          [weak](const CDeviceServicesHub::Completion& c) {
                                              std::shared_ptr<CommandOperation> operation = weak.lock();
                                              if (!operation) return;
                                              SarCommandResult result;
                                              result.StatusCode = static_cast<uint32_t>(c.status);
                                              if (c.status == S_OK) result.ResponseData = c.data;
                                              operation->Complete(result);
                                          });
    return operation;
}

class CMbnCommandSession : public ISarCommandSession {
public:
    CMbnCommandSession(ComPtr<IMbnDeviceService> service, MbnServiceIds key)
        : m_service(std::move(service)), m_key(std::move(key)) {}
    std::shared_ptr<ISarAsync<SarCommandResult>> SendSetCommandAsync(uint32_t commandId,
                                                                     const std::vector<uint8_t>& data) override {
        return SendCommand(m_service, m_key, true, commandId, data);
    }
    std::shared_ptr<ISarAsync<SarCommandResult>> SendQueryCommandAsync(uint32_t commandId,
                                                                       const std::vector<uint8_t>& data) override {
        return SendCommand(m_service, m_key, false, commandId, data);
    }
    void CloseSession() override {
        ULONG requestId = 0;
        ThrowIfFailed(m_service->CloseCommandSession(&requestId));
    }

private:
    ComPtr<IMbnDeviceService> m_service;
    MbnServiceIds m_key;
};

// Opens a command session and waits for the platform to confirm it.
std::shared_ptr<ISarCommandSession> OpenSession(const ComPtr<IMbnDeviceService>& service, const MbnServiceIds& key) {
    // Completes with the status of the open.
    std::shared_ptr<CAsync<HRESULT>> confirm = std::make_shared<CExpectedOperation<HRESULT>>();
    std::weak_ptr<CAsync<HRESULT>> weak = confirm;
    ULONG requestId = 0;
    ThrowIfFailed(service->OpenCommandSession(&requestId));
    CDeviceServicesHub::Instance().Expect(service.Get(), key, requestId, confirm,
                                          [weak](const CDeviceServicesHub::Completion& c) {
                                              if (std::shared_ptr<CAsync<HRESULT>> confirm = weak.lock())
                                                  confirm->Complete(c.status);
                                          });
    SarAwaitCompletion(*confirm, kConfirmBoundMs);
    ThrowIfFailed(confirm->GetResults());
    return std::make_shared<CMbnCommandSession>(service, key);
}

class CMbnDeviceService : public ISarDeviceService {
public:
    CMbnDeviceService(ComPtr<IMbnDeviceService> service, MbnServiceIds key)
        : m_service(std::move(service)), m_key(std::move(key)) {}
    std::shared_ptr<ISarCommandSession> OpenCommandSession() override { return OpenSession(m_service, m_key); }

private:
    ComPtr<IMbnDeviceService> m_service;
    MbnServiceIds m_key;
};

// The service that GetService looks up.
MbnServiceIds KeyOf(const std::wstring& interfaceId, const GUID& serviceId) {
    return MbnServiceIds{interfaceId, GuidText(serviceId)};
}

ComPtr<IMbnDeviceService> GetService(const std::wstring& interfaceId, const GUID& serviceId) {
    ComPtr<IMbnDeviceServicesManager> manager = CDeviceServicesHub::Instance().Manager();
    CUniqueBstr id(interfaceId.c_str());
    ComPtr<IMbnDeviceServicesContext> context;
    ThrowIfFailed(manager->GetDeviceServicesContext(id.Get(), context.GetAddressOf()));
    if (!context) throw hresult_error(E_POINTER);
    CUniqueBstr serviceText(GuidText(serviceId).c_str());
    ComPtr<IMbnDeviceService> service;
    ThrowIfFailed(context->GetDeviceService(serviceText.Get(), service.GetAddressOf()));
    return service;
}

bool ListsService(const std::wstring& interfaceId, const GUID& serviceId) {
    ComPtr<IMbnDeviceServicesManager> manager = CDeviceServicesHub::Instance().Manager();
    CUniqueBstr id(interfaceId.c_str());
    ComPtr<IMbnDeviceServicesContext> context;
    ThrowIfFailed(manager->GetDeviceServicesContext(id.Get(), context.GetAddressOf()));
    if (!context) return false;
    CUniqueSafeArray services;
    ThrowIfFailed(context->EnumerateDeviceServices(services.Put()));
    LONG lower = 0;
    LONG upper = -1;
    if (!services || ::SafeArrayGetDim(services.Get()) != 1 ||
        ::SafeArrayGetElemsize(services.Get()) != sizeof(MBN_DEVICE_SERVICE) ||
        FAILED(::SafeArrayGetLBound(services.Get(), 1, &lower)) ||
        FAILED(::SafeArrayGetUBound(services.Get(), 1, &upper)))
        return false;
    const std::wstring wanted = GuidText(serviceId);
    bool found = false;
    for (LONG i = lower; i <= upper; ++i) {
        MBN_DEVICE_SERVICE record = {};
        if (FAILED(::SafeArrayGetElement(services.Get(), &i, &record))) break;
        if (record.deviceServiceID && lstrcmpiW(record.deviceServiceID, wanted.c_str()) == 0) found = true;
        if (record.deviceServiceID) ::SysFreeString(record.deviceServiceID);
    }
    return found;
}

// MobileBroadbandSarManager: transmission-state reports of the SAR-control service.
class CMbnSarManager : public ISarManager, public std::enable_shared_from_this<CMbnSarManager> {
public:
    explicit CMbnSarManager(std::wstring interfaceId) : m_interfaceId(std::move(interfaceId)) {}

    std::shared_ptr<ISarAsync<void>> SetTransmissionStateChangedHysteresisAsync(int64_t hysteresis100ns) override {
        m_hysteresisSeconds = static_cast<uint32_t>(hysteresis100ns / 10000000);
        return std::make_shared<CAsyncAction>(S_OK);
    }

    void AddTransmissionStateChanged(TransmissionStateChangedHandler handler) override {
        std::weak_ptr<CMbnSarManager> self = shared_from_this();
        std::wstring interfaceId = m_interfaceId;
        CDeviceServicesHub::Instance().AddListener(
            [self, interfaceId, handler](IMbnDeviceService* service, ULONG eventId, const std::vector<uint8_t>& data) {
                std::shared_ptr<CMbnSarManager> manager = self.lock();
                if (!manager || !manager->m_monitoring || eventId != kCidTransmissionStatus || data.size() < 12)
                    return;
                if (!KeyOf(interfaceId, kSarServiceId).SameAs(MbnServiceIds::Of(service))) return;
                uint32_t transmitting = 0;
                std::memcpy(&transmitting, data.data() + 4, sizeof(transmitting));
                // Like a WinRT delegate: whatever the handler raises stays here.
                try {
                    handler(manager, transmitting != 0);
                } catch (...) {
                }
            });
    }

    void StartTransmissionStateMonitoring() override { SetMonitoring(true); }
    void StopTransmissionStateMonitoring() override { SetMonitoring(false); }

private:
    void SetMonitoring(bool on) {
        ComPtr<IMbnDeviceService> service = GetService(m_interfaceId, kSarServiceId);
        std::shared_ptr<ISarCommandSession> session = OpenSession(service, KeyOf(m_interfaceId, kSarServiceId));
        std::vector<uint8_t> payload(8, 0);
        payload[0] = on ? 1 : 0;
        std::memcpy(payload.data() + 4, &m_hysteresisSeconds, sizeof(m_hysteresisSeconds));
        std::shared_ptr<ISarAsync<SarCommandResult>> operation =
            session->SendSetCommandAsync(kCidTransmissionStatus, payload);
        SarAwaitCompletion(*operation, kConfirmBoundMs);
        SarCommandResult result = operation->GetResults();
        if (result.StatusCode != 0) throw hresult_error(static_cast<HRESULT>(result.StatusCode));
        m_monitoring = on;
    }

    std::wstring m_interfaceId;
    uint32_t m_hysteresisSeconds = 0;
    std::atomic<bool> m_monitoring{false};
};

class CMbnModemConfiguration : public ISarModemConfiguration {
public:
    explicit CMbnModemConfiguration(std::shared_ptr<ISarManager> manager) : m_manager(std::move(manager)) {}
    std::shared_ptr<ISarManager> SarManager() override { return m_manager; }

private:
    std::shared_ptr<ISarManager> m_manager;
};

class CMbnSarModem : public ISarModem {
public:
    CMbnSarModem(ComPtr<IMbnInterfaceManager> manager, std::wstring interfaceId)
        : m_manager(std::move(manager)), m_interfaceId(std::move(interfaceId)) {}

    std::wstring Model() override {
        ComPtr<IMbnInterface> mbnInterface = Interface();
        MBN_INTERFACE_CAPS caps = {};
        ThrowIfFailed(mbnInterface->GetInterfaceCapability(&caps));
        std::wstring model = caps.model ? caps.model : L"";
        for (BSTR text : {caps.customDataClass, caps.customBandClass, caps.deviceID, caps.manufacturer, caps.model,
                          caps.firmwareInfo})
            if (text) ::SysFreeString(text);
        return model;
    }

    int CurrentRadioState() override {
        ComPtr<IMbnInterface> mbnInterface = Interface();
        ComPtr<IMbnRadio> radio;
        ThrowIfFailed(mbnInterface->QueryInterface(IID_IMbnRadio, reinterpret_cast<void**>(radio.GetAddressOf())));
        MBN_RADIO software = MBN_RADIO_OFF;
        MBN_RADIO hardware = MBN_RADIO_OFF;
        ThrowIfFailed(radio->get_SoftwareRadioState(&software));
        ThrowIfFailed(radio->get_HardwareRadioState(&hardware));
        return software == MBN_RADIO_ON && hardware == MBN_RADIO_ON ? 1 : 0;
    }

    std::shared_ptr<ISarDeviceService> GetDeviceService(const GUID& serviceId) override {
        ComPtr<IMbnDeviceService> service = GetService(m_interfaceId, serviceId);
        if (!service) return nullptr;
        return std::make_shared<CMbnDeviceService>(service, KeyOf(m_interfaceId, serviceId));
    }

    std::shared_ptr<ISarAsync<std::shared_ptr<ISarModemConfiguration>>> GetCurrentConfigurationAsync() override {
        auto operation = std::make_shared<CAsync<std::shared_ptr<ISarModemConfiguration>>>();
        try {
            std::shared_ptr<ISarManager> manager;
            if (ListsService(m_interfaceId, kSarServiceId)) manager = std::make_shared<CMbnSarManager>(m_interfaceId);
            operation->Complete(std::make_shared<CMbnModemConfiguration>(manager));
        } catch (const hresult_error& error) {
            operation->Complete(nullptr, error.code());
        }
        return operation;
    }

private:
    // The interface object of the default modem's id, looked up anew: the same
    // id serves again after the modem went away and came back.
    ComPtr<IMbnInterface> Interface() {
        ComPtr<IMbnInterface> mbnInterface;
        ThrowIfFailed(m_manager->GetInterface(m_interfaceId.c_str(), mbnInterface.GetAddressOf()));
        if (!mbnInterface) throw hresult_error(E_POINTER);
        return mbnInterface;
    }

    ComPtr<IMbnInterfaceManager> m_manager;
    std::wstring m_interfaceId;
};
}  // namespace

std::shared_ptr<ISarModem> SarGetDefaultModem() {
    ComPtr<IMbnInterfaceManager> manager;
    // No Mobile Broadband service means no modem, as for the platform's GetDefault.
    if (FAILED(CreateMbnObject(CLSID_MbnInterfaceManager, IID_IMbnInterfaceManager, manager)) || !manager)
        return nullptr;
    CUniqueSafeArray interfaces;
    if (FAILED(manager->GetInterfaces(interfaces.Put())) || !interfaces) return nullptr;
    LONG lower = 0;
    LONG upper = -1;
    if (::SafeArrayGetDim(interfaces.Get()) != 1 || FAILED(::SafeArrayGetLBound(interfaces.Get(), 1, &lower)) ||
        FAILED(::SafeArrayGetUBound(interfaces.Get(), 1, &upper)) || upper < lower)
        return nullptr;
    VARTYPE type = VT_EMPTY;
    if (FAILED(::SafeArrayGetVartype(interfaces.Get(), &type)) || (type != VT_UNKNOWN && type != VT_DISPATCH))
        return nullptr;
    ComPtr<IUnknown> first;
    if (FAILED(::SafeArrayGetElement(interfaces.Get(), &lower, first.GetAddressOf())) || !first) return nullptr;
    ComPtr<IMbnInterface> mbnInterface;
    if (FAILED(first.As(&mbnInterface))) return nullptr;
    CUniqueBstr id;
    ThrowIfFailed(mbnInterface->get_InterfaceID(id.Put()));
    if (!id) return nullptr;
    return std::make_shared<CMbnSarModem>(manager, std::wstring(id.Get()));
}
