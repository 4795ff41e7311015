// The simulated modem as a whole: its interfaces and what each modem keeps,
// the advised sinks, the faults, the command log and the delivery of every
// event. One instance per process, made on first use and never destroyed
// (the DLL is never unloaded; its threads run until the process ends).
//
// One lock guards all state. It is recursive because releasing a simulator
// object under it runs that object's destructor, which takes it again. No
// client code is ever called with it held, except AddRef on a sink.
#pragma once

#include "CSimFirmware.h"
#include "CSimScheduler.h"
#include "Mbn.h"
#include "SimModemTypes.h"

#include <wrl/client.h>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class CSimInterface;
class CSimDeviceService;
class CSimRegistry;

struct SimInterfaceRecord {
    uint32_t index = 0;
    std::wstring id;
    std::wstring model, manufacturer, firmware, deviceId;
    MBN_RADIO hardwareRadio = MBN_RADIO_ON;
    MBN_RADIO softwareRadio = MBN_RADIO_ON;
    MBN_REGISTER_STATE registerState = MBN_REGISTER_STATE_HOME;
    std::wstring providerId, providerName;
    std::vector<std::wstring> services;
    ULONG maxCommandSize = 4096;
    ULONG maxDataSize = 4096;
    bool present = true;
    // Bumped on every removal (and on reset): what was pending or open before is gone.
    uint32_t epoch = 0;
    SimModemStore store;
    // The service object that switched transmission notifications on.
    Microsoft::WRL::ComPtr<CSimDeviceService> txService;
    // The interface's one COM object; dropped when a reset orphans the record.
    Microsoft::WRL::ComPtr<CSimInterface> com;
};
using SimRecordPtr = std::shared_ptr<SimInterfaceRecord>;
using SimLock = std::unique_lock<std::recursive_mutex>;

// One part of what a request sends back: its completion first, then what
// follows it (notifications, a reboot), each due extraMs after the completion
// delay.
struct SimResponseStep {
    uint32_t extraMs = 0;
    std::function<void()> task;
};
using SimResponse = std::vector<SimResponseStep>;

// HRESULTs of the simulator's own refusals.
constexpr HRESULT kSimNotConnected = static_cast<HRESULT>(0x8007048F);   // ERROR_DEVICE_NOT_CONNECTED
constexpr HRESULT kSimNoSession = static_cast<HRESULT>(0x8007139F);      // ERROR_INVALID_STATE
constexpr HRESULT kSimNotFound = static_cast<HRESULT>(0x80070490);       // ERROR_NOT_FOUND
constexpr HRESULT kSimNotSupported = static_cast<HRESULT>(0x80070032);   // ERROR_NOT_SUPPORTED
constexpr HRESULT kSimBusy = static_cast<HRESULT>(0x800700AA);           // ERROR_BUSY

class CSimModem {
public:
    static CSimModem& Instance();

    SimLock Lock() { return SimLock(m_lock); }

    // --- control (any thread) ---
    void Reset(const simmodem::Settings& settings);
    // Reset plus interfaces and faults, as a start state from the registry gives them.
    void Load(const simmodem::StartState& state);
    int AddInterface(const simmodem::InterfaceSpec& spec, bool raiseArrival);
    uint32_t InterfaceCount();
    SimRecordPtr Record(uint32_t index);
    bool RemoveInterface(uint32_t index);
    bool ArriveInterface(uint32_t index);
    bool SetRadio(uint32_t index, int hardware, int software);
    bool SetRegistration(uint32_t index, uint32_t state, const wchar_t* providerId, const wchar_t* providerName);
    bool SetModel(uint32_t index, const wchar_t* model, const wchar_t* manufacturer, const wchar_t* firmware);
    bool SetServices(uint32_t index, const std::vector<std::wstring>& services);
    bool SetTransmitting(uint32_t index, bool transmitting);
    bool SetDiagState(uint32_t index, const SimModemDiagState& state, const uint8_t* image, uint32_t length);
    void AddFault(const simmodem::FaultSpec& fault);
    void ClearFaults();
    bool ApplyChange(const std::wstring& text);

    std::vector<simmodem::LogEntry> LogSnapshot();
    size_t LogCount();
    bool WaitForLog(uint32_t opMask, uint32_t count, uint32_t timeoutMs);
    bool WaitIdle(uint32_t timeoutMs) { return m_scheduler.WaitIdle(timeoutMs); }
    // Completions held by hold faults: the count oldest go out, in the order they were held.
    uint32_t ReleaseHeld(uint32_t count);
    uint32_t HeldCount();
    bool WaitForHeld(uint32_t count, uint32_t timeoutMs);
    uint32_t AdvisedCount(uint32_t sink);
    uint32_t ObjectCount(uint32_t kind) { return kind < kObjectKinds ? m_objects[kind].load() : 0; }
    uint32_t OpenSessionCount(uint32_t index, const wchar_t* service);
    DWORD PrimaryThreadId() const { return m_scheduler.PrimaryThreadId(); }
    bool IsDeliveryThread(DWORD id) const { return m_scheduler.IsDeliveryThread(id); }
    simmodem::Settings CurrentSettings();
    // SimModemDelivery: which pointer events pass for the object they are about.
    bool SetDelivery(uint32_t mode);
    uint32_t Delivery() const { return m_delivery; }

    // --- used by the COM objects; "Locked" methods expect Lock() held ---
    HRESULT CreateObject(REFCLSID clsid, REFIID iid, void** object);
    bool TakeMethodFault(uint32_t method, uint32_t index, const std::wstring& service, uint32_t cid, uint32_t sink,
                         HRESULT& hr);
    // A busy, status or no-completion fault for this request, used up by one.
    std::optional<simmodem::FaultSpec> TakeCompletionFault(uint32_t index, const std::wstring& service, uint32_t op,
                                                           uint32_t cid);
    std::optional<simcodec::Bytes> TakeReplyFault(uint32_t index, const std::wstring& service, uint32_t op, uint32_t cid);
    // True when this command is the one a remove-after fault waits for (rearrival delay in rearriveMs).
    bool TakeRemoveTrigger(uint32_t index, const std::wstring& service, uint32_t op, uint32_t cid, uint32_t& rearriveMs);
    // The stray-completion faults for this command, each used up by one, in the order they were added.
    std::vector<simmodem::FaultSpec> TakeStrayFaults(uint32_t index, const std::wstring& service, uint32_t op,
                                                     uint32_t cid);
    ULONG NextRequestId() { return m_nextRequestId++; }
    void AppendLogLocked(const SimInterfaceRecord& record, uint32_t op, const std::wstring& service, uint32_t cid,
                         ULONG requestId, const simcodec::Bytes& payload);
    std::vector<SimRecordPtr> PresentRecordsLocked();
    SimRecordPtr FindPresentLocked(const std::wstring& interfaceId);
    void RemoveLocked(const SimRecordPtr& record);
    void ArriveLocked(const SimRecordPtr& record);
    // Runs task on a delivery thread after the completion delay (plus extraMs),
    // unless a reset comes first; with an epoch, also unless the interface was
    // removed in between.
    void Post(uint32_t extraMs, std::function<void()> task);
    void PostForEpoch(const SimRecordPtr& record, uint32_t extraMs, std::function<void()> task);
    // Sends what a logged request gets back, unless the interface is removed
    // first. A delay fault for the request adds its time to every step; a hold
    // fault keeps the whole response until ReleaseHeld. Lock held.
    void RespondLocked(const SimRecordPtr& record, const std::wstring& service, uint32_t op, uint32_t cid,
                       SimResponse response);
    uint32_t FrameSize();
    void Changed();  // state that the status mirror shows has changed

    // Connection points. The sink pointer is the one QueryInterface gave for the event interface.
    HRESULT Advise(uint32_t sink, const void* owner, IUnknown* client, DWORD* cookie);
    HRESULT Unadvise(uint32_t sink, const void* owner, DWORD cookie);
    void DropSinks(const void* owner);  // the owner's object is going away

    // Calls fn for each advised sink of the kind, one after another, without the lock.
    template <class TSink>
    void Deliver(uint32_t sink, const std::function<void(TSink*)>& fn) {
        for (DWORD cookie : SinkCookies(sink)) {
            IUnknown* target = AcquireSink(cookie);
            if (!target) continue;
            fn(reinterpret_cast<TSink*>(target));
            target->Release();
        }
    }

    void CountObject(uint32_t kind, int delta) { m_objects[kind] += delta; }
    void TrackService(CSimDeviceService* service, bool live);

private:
    CSimModem();
    void Start();
    void ResetLocked(const simmodem::Settings& settings);
    void RaiseInterfaceEvent(const SimRecordPtr& record, bool arrival);
    void RaiseRadioChange(const SimRecordPtr& record);
    void RaiseTransmission(const SimRecordPtr& record);
    std::vector<DWORD> SinkCookies(uint32_t sink);
    IUnknown* AcquireSink(DWORD cookie);
    bool MatchFilter(const simmodem::FaultSpec& f, uint32_t index, const std::wstring& service, uint32_t op,
                     uint32_t cid) const;
    // The first matching fault of the kind, used up by one; false when none matches.
    bool TakeFault(uint32_t kind, uint32_t index, const std::wstring& service, uint32_t op, uint32_t cid,
                   simmodem::FaultSpec& taken);
    void DropHeldLocked(const SimRecordPtr& record);  // null: all

    struct HeldResponse {
        SimRecordPtr record;
        SimResponse response;
    };

    struct SinkEntry {
        DWORD cookie;
        uint32_t sink;
        const void* owner;
        IUnknown* client;
    };

    std::recursive_mutex m_lock;
    std::condition_variable_any m_logChanged;
    CSimScheduler m_scheduler;
    std::unique_ptr<CSimRegistry> m_registry;
    simmodem::Settings m_settings;
    std::vector<SimRecordPtr> m_records;
    std::vector<simmodem::FaultSpec> m_faults;
    std::vector<simmodem::LogEntry> m_log;
    std::deque<HeldResponse> m_held;
    std::condition_variable_any m_heldChanged;
    std::vector<SinkEntry> m_sinks;
    std::vector<CSimDeviceService*> m_services;
    std::atomic<uint64_t> m_generation{0};
    std::atomic<ULONG> m_nextRequestId{1};
    DWORD m_nextCookie = 1;
    static constexpr uint32_t kObjectKinds = 5;
    std::atomic<uint32_t> m_objects[kObjectKinds] = {};
    std::atomic<uint32_t> m_delivery{SIMMODEM_DELIVERY_SAME};
};
