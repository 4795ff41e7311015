// The library's own classes in the test process: the manager singleton with
// test doubles of its three device services, both sinks attached to the
// dispatch as Init attaches them, and a capture of the debug texts. The
// doubles stand in for the Mobile Broadband API: a command hook answers
// through the sink, as the API's callback threads would.
#pragma once

#include <gtest/gtest.h>

#include "CByteSafeArray.h"
#include "CDeviceServicesSink.h"
#include "CInterfaceManagerEventsSink.h"
#include "CNuvikMbimManager.h"
#include "CNuvikMbimServices.h"
#include "Handles.h"
#include "KessaTrace.h"
#include "Mbn.h"
#include "SarDeviceContext.h"
#include "SarTestBytes.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kessatest {

using sartest::Bytes;

const wchar_t kDiagId[] = L"{2d0c12c9-0e6a-495a-915c-8d174fe5d63c}";
const wchar_t kSarId[] = L"{68223D04-9F6C-4E0F-822D-28441FB72340}";
const wchar_t kAuxId[] = L"{11223344-5566-7788-99AA-BBCCDDEEFF11}";
const HRESULT kBusy = HRESULT_FROM_WIN32(ERROR_BUSY);

// A device service whose commands are recorded and answered by a hook.
class CFakeDeviceService : public IMbnDeviceService {
public:
    struct Command {
        ULONG cid;
        bool query;
        Bytes payload;
        ULONG requestId;
    };

    explicit CFakeDeviceService(std::wstring id) : m_id(std::move(id)) {}

    // Runs inside SetCommand / QueryCommand once the request id is written.
    std::function<void(const Command&)> onCommand;
    // Runs inside OpenCommandSession once the request id is written.
    std::function<void()> onOpenSession;
    HRESULT hrCommand = S_OK;
    HRESULT hrOpenSession = S_OK;
    HRESULT hrId = S_OK;
    std::wstring m_id;
    std::wstring m_interfaceId;  // empty: get_InterfaceID is not implemented
    // The request id of the last OpenCommandSession.
    std::atomic<ULONG> lastOpenRequestId{0};

    std::vector<Command> Sent() const {
        std::lock_guard<std::mutex> guard(m_cs);
        return m_sent;
    }
    int SessionsClosed() const { return m_sessionsClosed; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMbnDeviceService)) {
            *ppv = static_cast<IMbnDeviceService*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --m_refs; }  // owned by the fixture

    HRESULT STDMETHODCALLTYPE QuerySupportedCommands(ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OpenCommandSession(ULONG* requestID) override {
        *requestID = ++m_nextRequestId;
        lastOpenRequestId = *requestID;
        if (FAILED(hrOpenSession)) return hrOpenSession;
        if (onOpenSession) onOpenSession();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CloseCommandSession(ULONG* requestID) override {
        *requestID = ++m_nextRequestId;
        ++m_sessionsClosed;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetCommand(ULONG cid, SAFEARRAY* data, ULONG* requestID) override {
        return Record(cid, false, data, requestID);
    }
    HRESULT STDMETHODCALLTYPE QueryCommand(ULONG cid, SAFEARRAY* data, ULONG* requestID) override {
        return Record(cid, true, data, requestID);
    }
    HRESULT STDMETHODCALLTYPE OpenDataSession(ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CloseDataSession(ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE WriteData(SAFEARRAY*, ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_InterfaceID(BSTR* id) override {
        if (m_interfaceId.empty()) return E_NOTIMPL;
        *id = ::SysAllocString(m_interfaceId.c_str());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_DeviceServiceID(BSTR* id) override {
        if (FAILED(hrId)) return hrId;
        *id = ::SysAllocString(m_id.c_str());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_IsCommandSessionOpen(BOOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_IsDataSessionOpen(BOOL*) override { return E_NOTIMPL; }

private:
    HRESULT Record(ULONG cid, bool query, SAFEARRAY* data, ULONG* requestID) {
        *requestID = ++m_nextRequestId;
        Command command;
        command.cid = cid;
        command.query = query;
        command.requestId = *requestID;
        CByteSafeArray bytes(data);
        command.payload.assign(bytes.Data(), bytes.Data() + bytes.Size());
        {
            std::lock_guard<std::mutex> guard(m_cs);
            m_sent.push_back(command);
        }
        if (FAILED(hrCommand)) return hrCommand;
        if (onCommand) onCommand(command);
        return S_OK;
    }

    mutable std::mutex m_cs;
    std::vector<Command> m_sent;
    std::atomic<ULONG> m_refs{0};
    std::atomic<ULONG> m_nextRequestId{100};
    std::atomic<int> m_sessionsClosed{0};
};

// The debug texts written while it lives.
class CTraceCapture {
public:
    CTraceCapture() {
        std::lock_guard<std::mutex> guard(Lock());
        Lines().clear();
        SetKessaTraceObserver(&Record);
    }
    ~CTraceCapture() { SetKessaTraceObserver(nullptr); }
    bool Contains(const std::string& text) const {
        std::lock_guard<std::mutex> guard(Lock());
        for (const std::string& line : Lines())
            if (line == text) return true;
        return false;
    }

private:
    static std::mutex& Lock() {
        static std::mutex lock;
        return lock;
    }
    static std::vector<std::string>& Lines() {
        static std::vector<std::string> lines;
        return lines;
    }
    static void Record(const char* text) {
        std::lock_guard<std::mutex> guard(Lock());
        Lines().push_back(text);
    }
};

class KessaInProcess : public ::testing::Test {
protected:
    void SetUp() override {
        m_manager = CNuvikMbimManager::GetInstance();
        ASSERT_NE(m_manager, nullptr);
        m_manager->DeviceServicesSink()->Attach(&m_manager->Services());
        m_manager->InterfaceManagerSink()->Attach(&m_manager->Services());
        m_manager->SetDeviceServices(&m_diag, &m_sar, &m_aux);
    }

    void TearDown() override {
        for (std::thread& thread : m_threads) thread.join();
        m_manager->SetDeviceServices(nullptr, nullptr, nullptr);
        m_manager->DeviceServicesSink()->Detach(&m_manager->Services());
        m_manager->InterfaceManagerSink()->Detach(&m_manager->Services());
        for (SarDeviceContext* context : m_contexts) m_manager->Services().CloseContext(context);
    }

    SarDeviceContext* Open() {
        SarDeviceContext* context = m_manager->Services().OpenContext();
        EXPECT_NE(context, nullptr);
        m_contexts.push_back(context);
        return context;
    }

    CDeviceServicesSink& Sink() { return *m_manager->DeviceServicesSink(); }

    // The API's calls into the sink.
    void SetComplete(IMbnDeviceService* service, ULONG cid, HRESULT status, ULONG requestId, const Bytes& reply) {
        CUniqueSafeArray data(MakeByteSafeArray(reply.data(), reply.size()));
        EXPECT_EQ(Sink().OnSetCommandComplete(service, cid, data.Get(), status, requestId), S_OK);
    }
    void QueryComplete(IMbnDeviceService* service, ULONG cid, HRESULT status, ULONG requestId, const Bytes& reply) {
        CUniqueSafeArray data(MakeByteSafeArray(reply.data(), reply.size()));
        EXPECT_EQ(Sink().OnQueryCommandComplete(service, cid, data.Get(), status, requestId), S_OK);
    }
    void Notification(IMbnDeviceService* service, const Bytes& bytes) {
        CUniqueSafeArray data(MakeByteSafeArray(bytes.data(), bytes.size()));
        EXPECT_EQ(Sink().OnEventNotification(service, 7, data.Get()), S_OK);
    }
    // Answers a command the way the API would: a set or query completion.
    void Complete(CFakeDeviceService& service, const CFakeDeviceService::Command& command, HRESULT status,
                  const Bytes& reply) {
        if (command.query)
            QueryComplete(&service, command.cid, status, command.requestId, reply);
        else
            SetComplete(&service, command.cid, status, command.requestId, reply);
    }

    CFakeDeviceService m_diag{kDiagId};
    CFakeDeviceService m_sar{kSarId};
    CFakeDeviceService m_aux{kAuxId};
    CNuvikMbimManager* m_manager = nullptr;
    std::vector<SarDeviceContext*> m_contexts;
    std::vector<std::thread> m_threads;  // joined before the doubles go
};

// An MBIM SAR configuration reply: element count at 12, first back-off index at 28.
inline Bytes SarConfigReply(uint32_t count, int32_t backoffIndex, size_t length = 32) {
    Bytes reply(length, 0);
    for (size_t i = 0; i < 4 && 12 + i < length; ++i) reply[12 + i] = static_cast<uint8_t>(count >> (8 * i));
    for (size_t i = 0; i < 4 && 28 + i < length; ++i)
        reply[28 + i] = static_cast<uint8_t>(static_cast<uint32_t>(backoffIndex) >> (8 * i));
    return reply;
}

}  // namespace kessatest
