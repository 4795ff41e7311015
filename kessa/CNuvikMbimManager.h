// The library's one process-wide object: the Mobile Broadband COM objects, the
// three device services, the command-session waits, the MBIM-ready and
// initialised flags, and the device contexts (through CNuvikMbimServices).
#pragma once

#include "CCompletionWake.h"
#include "Mbn.h"
#include "MbnIdentity.h"

#include <wrl/client.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class CDeviceServicesSink;
class CInterfaceManagerEventsSink;
class CNuvikMbimServices;
struct SarDeviceContext;

class CNuvikMbimManager {
public:
    using DeviceServicePtr = Microsoft::WRL::ComPtr<IMbnDeviceService>;

    enum class SessionResult { Opened, RequestFailed, TimedOut };

    static const char kSarDiagServiceId[];
    static const char kSarServiceId[];
    static const char kAuxServiceId[];

    // The one manager, created on first use.
    static CNuvikMbimManager* GetInstance();
    // Lets the manager go: only when the library is freed while the process
    // lives on, and with no call of the library under way.
    static void ReleaseInstance();

    CNuvikMbimManager();
    // Frees only the manager's own state: at library unload the COM objects,
    // sinks and services may no longer be safe to touch.
    ~CNuvikMbimManager();
    CNuvikMbimManager(const CNuvikMbimManager&) = delete;
    CNuvikMbimManager& operator=(const CNuvikMbimManager&) = delete;

    // 1 already initialised, 0 initialised now (or a command session could not
    // be requested, leaving the library uninitialised), -1 failure.
    int Init(std::string interfaceId);
    int UnInit();
    SarDeviceContext* OpenDeviceServices();
    int CloseDeviceServices(SarDeviceContext* handle);
    // Reopens the diag and SAR services after an arrival: 1, -1, or 0 when not initialised.
    int OpenSarServices();

    // Event handling of the dispatch.
    void OnInterfaceArrival();
    void OnInterfaceRemoval();
    // A command session opened with success: on one of the three services (the
    // same COM object), or on another object for the same service that answers
    // the open a session wait waits for (its request id).
    void OnCommandSessionOpened(IUnknown* service, ULONG requestId);

    // Requests a command session and waits for its confirmation: session wake
    // A for the diag and aux services, B for the SAR service.
    SessionResult OpenCommandSessionAndWait(IMbnDeviceService* service, DWORD timeoutMs);

    uint8_t IsMbimReady() const { return m_bMbimReady; }
    bool IsInitialised() const { return m_bInitialised != 0; }

    // The services as they stand; a command holds its own reference while it
    // runs, so a removal on another thread cannot free a service under it.
    DeviceServicePtr GetDiagService() const;
    DeviceServicePtr GetSarService() const;
    DeviceServicePtr GetAuxService() const;
    void SetDeviceServices(DeviceServicePtr diag, DeviceServicePtr sar, DeviceServicePtr aux);

    CNuvikMbimServices& Services() { return *m_pServices; }
    CDeviceServicesSink* DeviceServicesSink() { return m_pDeviceServicesSink; }
    CInterfaceManagerEventsSink* InterfaceManagerSink() { return m_pInterfaceManagerSink; }
    const CCompletionWake& SessionWakeA() const { return m_sessionWakeA; }
    const CCompletionWake& SessionWakeB() const { return m_sessionWakeB; }

private:
    // Init after COM: the steps that need the two managers.
    int InitSessions(const std::string& interfaceId);
    // Connects a sink to the connection point of a manager and attaches the services as its observer.
    bool AdviseSink(IUnknown* source, REFIID eventsIid, IUnknown* sink, class MbnSubject* subject,
                    Microsoft::WRL::ComPtr<IConnectionPoint>& point, DWORD& cookie);
    // Everything that Init builds, released (the half-built state of a failed Init included).
    void ReleaseAll();
    HRESULT GetService(IMbnDeviceServicesContext* context, const char* id, DeviceServicePtr& service);

    std::atomic<uint8_t> m_bMbimReady{0};
    std::atomic<uint8_t> m_bInitialised{0};
    // Removals so far: an arrival whose reopening outlasted a later removal
    // leaves the flag to that removal.
    std::mutex m_csReady;
    uint32_t m_dwRemovals = 0;
    std::mutex m_csApi;
    std::string m_strInterfaceId;
    Microsoft::WRL::ComPtr<IMbnDeviceServicesManager> m_pDeviceServicesManager;
    Microsoft::WRL::ComPtr<IMbnInterfaceManager> m_pInterfaceManager;
    Microsoft::WRL::ComPtr<IMbnDeviceServicesContext> m_pDeviceServicesContext;
    CNuvikMbimServices* m_pServices;  // never freed: events may still reach it at unload
    CInterfaceManagerEventsSink* m_pInterfaceManagerSink;  // the manager holds one reference to each sink
    CDeviceServicesSink* m_pDeviceServicesSink;
    DWORD m_dwDeviceServicesCookie = 0;
    DWORD m_dwInterfaceManagerCookie = 0;
    Microsoft::WRL::ComPtr<IConnectionPoint> m_pDeviceServicesPoint;
    Microsoft::WRL::ComPtr<IConnectionPoint> m_pInterfaceManagerPoint;
    mutable std::mutex m_csServices;  // the three pointers below
    DeviceServicePtr m_pDiagService;
    DeviceServicePtr m_pSarService;
    DeviceServicePtr m_pAuxService;
    std::mutex m_csSession;
    // The open that OpenCommandSessionAndWait waits for, as far as known. The
    // platform promises the object the session was requested on, not the
    // pointer: a proxy may confirm it through another object, which only its
    // request id and its interface and service ids tie to the request.
    struct EarlyConfirmation {
        ULONG requestId;
        MbnServiceIds ids;
    };
    std::mutex m_csOpen;  // the fields below
    bool m_bOpenRequested = false;
    bool m_bOpenIdKnown = false;
    ULONG m_dwOpenRequestId = 0;
    MbnServiceIds m_openIds;
    CCompletionWake* m_pOpenWake = nullptr;
    // Confirmations through another object that came before the request id was known.
    std::vector<EarlyConfirmation> m_earlyConfirmations;
    CCompletionWake m_sessionWakeA;
    CCompletionWake m_sessionWakeB;
    bool m_bComInitialised = false;
};
