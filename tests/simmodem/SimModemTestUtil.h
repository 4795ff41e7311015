// What the simulator's tests share: a sink that records every Mobile
// Broadband event it gets (with the thread it came on), byte-array helpers,
// and a host-side CRC/escaping of the tests' own to build expected bytes.
#pragma once

#include "Mbn.h"

#include <windows.h>
#include <wrl/client.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace simtest {

using Bytes = std::vector<uint8_t>;
using Microsoft::WRL::ComPtr;

// --- host-side wire helpers, written apart from the simulator's ---
uint16_t Crc(const Bytes& bytes, size_t count);
Bytes Escape(const Bytes& logical);
Bytes Unescape(const Bytes& raw);  // of a whole frame without its end mark
void Put16(Bytes& b, uint16_t v);
void Put32(Bytes& b, uint32_t v);
uint16_t Get16(const Bytes& b, size_t offset);
uint32_t Get32(const Bytes& b, size_t offset);
// A SAR data write packet (escaped, end mark) and a read request (raw, 17 bytes);
// crcXor spoils the CRC.
Bytes WritePacket(const Bytes& chunk, uint8_t flag, uint16_t crcXor = 0);
Bytes ReadRequest(uint16_t received, uint16_t crcXor = 0);
// A data frame taken apart as a careful host would: whole frame un-escaped first.
struct DataFrame {
    bool valid = false;  // 631, end mark, lengths agree, CRC right
    uint16_t count = 0;
    int32_t remaining = 0;
    Bytes data;
};
DataFrame ParseDataFrame(const Bytes& raw);
// A write acknowledgement as the host checks it (raw: u16 632 at 4, u16 2 at 10, CRC of 0..len-4 at len-3).
bool IsValidAck(const Bytes& raw);

SAFEARRAY* MakeArray(const Bytes& bytes);
Bytes ArrayBytes(SAFEARRAY* array);

struct SinkEvent {
    enum Kind {
        Arrival,
        Removal,
        RadioChange,
        RadioComplete,
        RegisterChange,
        SessionOpened,
        SessionClosed,
        SetComplete,
        QueryComplete,
        Notification,
        StateChange
    };
    explicit SinkEvent(Kind k = Arrival) : kind(k) {}
    Kind kind;
    void* object = nullptr;  // the interface pointer the event carried
    ULONG id = 0;            // response id (CID) or event id
    HRESULT status = S_OK;
    ULONG requestId = 0;
    Bytes data;
    std::wstring text;  // interface id of a state change
    ULONG state = 0;    // interface state of a state change
    DWORD thread = 0;
};

// Answers all four event interfaces unless told otherwise; counts its references.
class CTestSink : public IMbnInterfaceManagerEvents,
                  public IMbnRadioEvents,
                  public IMbnRegistrationEvents,
                  public IMbnDeviceServicesEvents {
public:
    explicit CTestSink(bool answersEvents = true) : m_answersEvents(answersEvents) {}
    virtual ~CTestSink() = default;

    LONG RefCount() const { return m_ref; }
    // Called on the delivering thread, before the event is recorded.
    std::function<void(const SinkEvent&)> hook;

    std::vector<SinkEvent> Events();
    size_t Count(SinkEvent::Kind kind);
    bool WaitFor(const std::function<bool(const SinkEvent&)>& pred, DWORD timeoutMs, SinkEvent* found = nullptr);
    bool WaitForKind(SinkEvent::Kind kind, DWORD timeoutMs, SinkEvent* found = nullptr) {
        return WaitFor([kind](const SinkEvent& e) { return e.kind == kind; }, timeoutMs, found);
    }
    bool WaitForRequest(SinkEvent::Kind kind, ULONG requestId, DWORD timeoutMs, SinkEvent* found = nullptr) {
        return WaitFor([=](const SinkEvent& e) { return e.kind == kind && e.requestId == requestId; }, timeoutMs,
                       found);
    }
    void Clear();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_ref; }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG count = --m_ref;
        if (count == 0) delete this;
        return count;
    }

    HRESULT STDMETHODCALLTYPE OnInterfaceArrival(IMbnInterface* itf) override;
    HRESULT STDMETHODCALLTYPE OnInterfaceRemoval(IMbnInterface* itf) override;
    HRESULT STDMETHODCALLTYPE OnRadioStateChange(IMbnRadio* radio) override;
    HRESULT STDMETHODCALLTYPE OnSetSoftwareRadioStateComplete(IMbnRadio* radio, ULONG requestId,
                                                              HRESULT status) override;
    HRESULT STDMETHODCALLTYPE OnRegisterModeAvailable(IMbnRegistration*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnRegisterStateChange(IMbnRegistration* registration) override;
    HRESULT STDMETHODCALLTYPE OnPacketServiceStateChange(IMbnRegistration*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnSetRegisterModeComplete(IMbnRegistration*, ULONG, HRESULT) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnQuerySupportedCommandsComplete(IMbnDeviceService*, SAFEARRAY*, HRESULT,
                                                               ULONG) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnOpenCommandSessionComplete(IMbnDeviceService* service, HRESULT status,
                                                           ULONG requestId) override;
    HRESULT STDMETHODCALLTYPE OnCloseCommandSessionComplete(IMbnDeviceService* service, HRESULT status,
                                                            ULONG requestId) override;
    HRESULT STDMETHODCALLTYPE OnSetCommandComplete(IMbnDeviceService* service, ULONG responseId, SAFEARRAY* data,
                                                   HRESULT status, ULONG requestId) override;
    HRESULT STDMETHODCALLTYPE OnQueryCommandComplete(IMbnDeviceService* service, ULONG responseId, SAFEARRAY* data,
                                                     HRESULT status, ULONG requestId) override;
    HRESULT STDMETHODCALLTYPE OnEventNotification(IMbnDeviceService* service, ULONG eventId, SAFEARRAY* data) override;
    HRESULT STDMETHODCALLTYPE OnOpenDataSessionComplete(IMbnDeviceService*, HRESULT, ULONG) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnCloseDataSessionComplete(IMbnDeviceService*, HRESULT, ULONG) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnWriteDataComplete(IMbnDeviceService*, HRESULT, ULONG) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnReadData(IMbnDeviceService*, SAFEARRAY*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnInterfaceStateChange(BSTR interfaceId,
                                                     MBN_DEVICE_SERVICES_INTERFACE_STATE state) override;

private:
    void Record(SinkEvent e);

    bool m_answersEvents;
    std::atomic<LONG> m_ref{1};
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<SinkEvent> m_events;
};

// FindConnectionPoint + Advise; the connection point is kept for Unadvise.
HRESULT Advise(IUnknown* container, REFIID iid, IUnknown* sink, ComPtr<IConnectionPoint>& point, DWORD& cookie);

}  // namespace simtest
