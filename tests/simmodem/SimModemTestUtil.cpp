#include "SimModemTestUtil.h"

#include <ocidl.h>
#include <cstring>

namespace simtest {

uint16_t Crc(const Bytes& bytes, size_t count) {
    // CRC-16/X-25 straight from its definition: reflected 0x1021, init FFFF, xorout FFFF.
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < count; ++i) {
        for (int bit = 0; bit < 8; ++bit) {
            bool mix = ((crc ^ (bytes[i] >> bit)) & 1) != 0;
            crc >>= 1;
            if (mix) crc ^= 0x8408;
        }
    }
    return crc ^ 0xFFFF;
}

Bytes Escape(const Bytes& logical) {
    Bytes out;
    for (uint8_t b : logical) {
        if (b == 0x7E) out.insert(out.end(), {0x7D, 0x5E});
        else if (b == 0x7D) out.insert(out.end(), {0x7D, 0x5D});
        else out.push_back(b);
    }
    return out;
}

Bytes Unescape(const Bytes& raw) {
    Bytes out;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == 0x7D && i + 1 < raw.size()) out.push_back(raw[++i] == 0x5E ? 0x7E : 0x7D);
        else out.push_back(raw[i]);
    }
    return out;
}

void Put16(Bytes& b, uint16_t v) { b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8)}); }
void Put32(Bytes& b, uint32_t v) { b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}); }
uint16_t Get16(const Bytes& b, size_t o) { return uint16_t(b.at(o) | (b.at(o + 1) << 8)); }
uint32_t Get32(const Bytes& b, size_t o) { return Get16(b, o) | (uint32_t(Get16(b, o + 2)) << 16); }

Bytes WritePacket(const Bytes& chunk, uint8_t flag, uint16_t crcXor) {
    Bytes p = {0x4B, 0x0B, 0x24, 0x00, 0x78, 0x02, 0x00, 0x00, 0x00, 0x00, 0xB3, 0x73};
    Put16(p, uint16_t(chunk.size()));
    p.push_back(flag);
    p.insert(p.end(), chunk.begin(), chunk.end());
    Put16(p, Crc(p, p.size()) ^ crcXor);
    Bytes wire = Escape(p);
    wire.push_back(0x7E);
    return wire;
}

Bytes ReadRequest(uint16_t received, uint16_t crcXor) {
    Bytes p = {0x4B, 0x0B, 0x24, 0x00, 0x77, 0x02, 0x00, 0x00, 0x00, 0x00, 0xB3, 0x73};
    Put16(p, received);
    Put16(p, Crc(p, 14) ^ crcXor);
    p.push_back(0x7E);
    return p;
}

DataFrame ParseDataFrame(const Bytes& raw) {
    DataFrame f;
    if (raw.size() < 2 || raw.back() != 0x7E) return f;
    // Everything before the end mark must be escaped: no bare 7E, no 7D but in a pair.
    for (size_t i = 0; i + 1 < raw.size(); ++i) {
        if (raw[i] == 0x7E) return f;
        if (raw[i] == 0x7D && (i + 2 >= raw.size() || (raw[i + 1] != 0x5D && raw[i + 1] != 0x5E))) return f;
        if (raw[i] == 0x7D) ++i;
    }
    Bytes logical = Unescape(Bytes(raw.begin(), raw.end() - 1));
    if (logical.size() < 22 || Get16(logical, 4) != 631) return f;
    f.count = Get16(logical, 14);
    f.remaining = static_cast<int32_t>(Get32(logical, 16));
    if (logical.size() != 22u + f.count) return f;
    f.data.assign(logical.begin() + 20, logical.begin() + 20 + f.count);
    f.valid = Crc(logical, 20u + f.count) == Get16(logical, 20u + f.count);
    return f;
}

bool IsValidAck(const Bytes& raw) {
    size_t n = raw.size();
    return n > 16 && raw.back() == 0x7E && Get16(raw, 4) == 632 && Get16(raw, 10) == 2 &&
           Crc(raw, n - 3) == Get16(raw, n - 3);
}

SAFEARRAY* MakeArray(const Bytes& bytes) {
    SAFEARRAY* a = ::SafeArrayCreateVector(VT_UI1, 0, ULONG(bytes.size()));
    if (a && !bytes.empty()) std::memcpy(a->pvData, bytes.data(), bytes.size());
    return a;
}

Bytes ArrayBytes(SAFEARRAY* array) {
    if (!array) return {};
    LONG lower = 0, upper = -1;
    ::SafeArrayGetLBound(array, 1, &lower);
    ::SafeArrayGetUBound(array, 1, &upper);
    const uint8_t* p = static_cast<const uint8_t*>(array->pvData);
    return Bytes(p, p + (upper - lower + 1));
}

std::vector<SinkEvent> CTestSink::Events() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_events;
}

size_t CTestSink::Count(SinkEvent::Kind kind) {
    std::lock_guard<std::mutex> lock(m_lock);
    size_t n = 0;
    for (const auto& e : m_events) n += e.kind == kind;
    return n;
}

bool CTestSink::WaitFor(const std::function<bool(const SinkEvent&)>& pred, DWORD timeoutMs, SinkEvent* found) {
    std::unique_lock<std::mutex> lock(m_lock);
    const SinkEvent* match = nullptr;
    bool ok = m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        for (const auto& e : m_events)
            if (pred(e)) {
                match = &e;
                return true;
            }
        return false;
    });
    if (ok && found) *found = *match;
    return ok;
}

void CTestSink::Clear() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_events.clear();
}

void CTestSink::Record(SinkEvent e) {
    e.thread = ::GetCurrentThreadId();
    if (hook) hook(e);
    std::lock_guard<std::mutex> lock(m_lock);
    m_events.push_back(std::move(e));
    m_changed.notify_all();
}

HRESULT CTestSink::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (iid == IID_IUnknown) *object = static_cast<IMbnInterfaceManagerEvents*>(this);
    else if (!m_answersEvents) return E_NOINTERFACE;
    else if (iid == IID_IMbnInterfaceManagerEvents) *object = static_cast<IMbnInterfaceManagerEvents*>(this);
    else if (iid == IID_IMbnRadioEvents) *object = static_cast<IMbnRadioEvents*>(this);
    else if (iid == IID_IMbnRegistrationEvents) *object = static_cast<IMbnRegistrationEvents*>(this);
    else if (iid == IID_IMbnDeviceServicesEvents) *object = static_cast<IMbnDeviceServicesEvents*>(this);
    else return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

HRESULT CTestSink::OnInterfaceArrival(IMbnInterface* itf) {
    SinkEvent e{SinkEvent::Arrival};
    e.object = itf;
    Record(e);
    return S_OK;
}

HRESULT CTestSink::OnInterfaceRemoval(IMbnInterface* itf) {
    SinkEvent e{SinkEvent::Removal};
    e.object = itf;
    Record(e);
    return S_OK;
}

HRESULT CTestSink::OnRadioStateChange(IMbnRadio* radio) {
    SinkEvent e{SinkEvent::RadioChange};
    e.object = radio;
    Record(e);
    return S_OK;
}

HRESULT CTestSink::OnSetSoftwareRadioStateComplete(IMbnRadio* radio, ULONG requestId, HRESULT status) {
    SinkEvent e{SinkEvent::RadioComplete};
    e.object = radio;
    e.requestId = requestId;
    e.status = status;
    Record(e);
    return S_OK;
}

HRESULT CTestSink::OnRegisterStateChange(IMbnRegistration* registration) {
    SinkEvent e{SinkEvent::RegisterChange};
    e.object = registration;
    Record(e);
    return S_OK;
}

HRESULT CTestSink::OnOpenCommandSessionComplete(IMbnDeviceService* service, HRESULT status, ULONG requestId) {
    SinkEvent e{SinkEvent::SessionOpened};
    e.object = service;
    e.status = status;
    e.requestId = requestId;
    Record(e);
    return S_OK;
}

HRESULT CTestSink::OnCloseCommandSessionComplete(IMbnDeviceService* service, HRESULT status, ULONG requestId) {
    SinkEvent e{SinkEvent::SessionClosed};
    e.object = service;
    e.status = status;
    e.requestId = requestId;
    Record(e);
    return S_OK;
}

HRESULT CTestSink::OnSetCommandComplete(IMbnDeviceService* service, ULONG responseId, SAFEARRAY* data,
                                        HRESULT status, ULONG requestId) {
    SinkEvent e{SinkEvent::SetComplete};
    e.object = service;
    e.id = responseId;
    e.data = ArrayBytes(data);
    e.status = status;
    e.requestId = requestId;
    Record(e);
    return S_OK;
}

HRESULT CTestSink::OnQueryCommandComplete(IMbnDeviceService* service, ULONG responseId, SAFEARRAY* data,
                                          HRESULT status, ULONG requestId) {
    SinkEvent e{SinkEvent::QueryComplete};
    e.object = service;
    e.id = responseId;
    e.data = ArrayBytes(data);
    e.status = status;
    e.requestId = requestId;
    Record(e);
    return S_OK;
}

HRESULT CTestSink::OnEventNotification(IMbnDeviceService* service, ULONG eventId, SAFEARRAY* data) {
    SinkEvent e{SinkEvent::Notification};
    e.object = service;
    e.id = eventId;
    e.data = ArrayBytes(data);
    Record(e);
    return S_OK;
}

HRESULT CTestSink::OnInterfaceStateChange(BSTR interfaceId, MBN_DEVICE_SERVICES_INTERFACE_STATE state) {
    SinkEvent e{SinkEvent::StateChange};
    e.text = interfaceId ? interfaceId : L"";
    e.state = state;
    Record(e);
    return S_OK;
}

HRESULT Advise(IUnknown* container, REFIID iid, IUnknown* sink, ComPtr<IConnectionPoint>& point, DWORD& cookie) {
    ComPtr<IConnectionPointContainer> cpc;
    HRESULT hr = container->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(cpc.GetAddressOf()));
    if (FAILED(hr)) return hr;
    hr = cpc->FindConnectionPoint(iid, point.ReleaseAndGetAddressOf());
    if (FAILED(hr)) return hr;
    return point->Advise(sink, &cookie);
}

}  // namespace simtest
