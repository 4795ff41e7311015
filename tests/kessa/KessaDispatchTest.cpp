// Completions, notifications, session and interface events as the API's
// callback threads deliver them to the sinks, and what they do to the device
// contexts and the manager.
#include "BoundedRun.h"
#include "KessaInProcess.h"

#include "MbnEvent.h"
#include "MbnObserver.h"
#include "SarCommands.h"
#include "SarPacket.h"

#include <chrono>
#include <functional>

using namespace kessatest;
using sartest::Ack;
using sartest::DataFrame;

namespace {
struct Wakes {
    uint64_t command, sarSet, sarQuery, getValue, setValue;
    bool operator==(const Wakes& o) const {
        return command == o.command && sarSet == o.sarSet && sarQuery == o.sarQuery && getValue == o.getValue &&
               setValue == o.setValue;
    }
};

Wakes WakesOf(const SarDeviceContext* c) {
    return {c->m_wakeCommand.SignalCount(), c->m_wakeSarSet.SignalCount(), c->m_wakeSarQuery.SignalCount(),
            c->m_wakeGetValue.SignalCount(), c->m_wakeSetValue.SignalCount()};
}

std::ostream& operator<<(std::ostream& os, const Wakes& w) {
    return os << "{command " << w.command << ", sarSet " << w.sarSet << ", sarQuery " << w.sarQuery << ", getValue "
              << w.getValue << ", setValue " << w.setValue << "}";
}

class Dispatch : public KessaInProcess {
protected:
    void SetUp() override {
        KessaInProcess::SetUp();
        m_a = Open();
        m_b = Open();
        m_a->m_dwRequestId1 = 11;
        m_a->m_dwRequestId2 = 21;
        m_b->m_dwRequestId1 = 12;
        m_b->m_dwRequestId2 = 22;
    }
    SarDeviceContext* m_a = nullptr;
    SarDeviceContext* m_b = nullptr;
};
}  // namespace

TEST_F(Dispatch, BusyCompletionsMarkEveryContextAndWakeNone) {
    for (bool query : {false, true}) {
        m_a->m_iBusy = -1;
        m_b->m_iBusy = -1;
        if (query)
            QueryComplete(&m_diag, CID_SAR_ENABLE, kBusy, 11, {1, 0, 0, 0});
        else
            SetComplete(&m_diag, CID_SAR_ENABLE, kBusy, 11, {});
        EXPECT_EQ(m_a->m_iBusy, 1) << (query ? "query" : "set");
        EXPECT_EQ(m_b->m_iBusy, 1) << (query ? "query" : "set");
    }
    // Another failure marks nothing.
    m_a->m_iBusy = -1;
    SetComplete(&m_diag, CID_SAR_ENABLE, E_FAIL, 11, {});
    EXPECT_EQ(m_a->m_iBusy, -1);
    EXPECT_EQ(WakesOf(m_a), (Wakes{0, 0, 0, 0, 0}));
    EXPECT_EQ(WakesOf(m_b), (Wakes{0, 0, 0, 0, 0}));
}

TEST_F(Dispatch, SetCompletionsWakeByCidAndRequestId) {
    struct Case {
        const char* what;
        ULONG cid;
        ULONG requestId;
        Bytes reply;
        Wakes a, b;
    } cases[] = {
        {"SAR config, two elements: every context twice", MBIM_CID_MS_SAR_CONFIG, 999, SarConfigReply(2, 0, 16),
         {0, 2, 0, 0, 0}, {0, 2, 0, 0, 0}},
        {"SAR config reply too short for the element count", MBIM_CID_MS_SAR_CONFIG, 11, Bytes(15, 2),
         {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}},
        {"SAR config without a reply", MBIM_CID_MS_SAR_CONFIG, 11, {}, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}},
        {"device root: second request id of b", CID_DEVICE_ROOT, 22, {}, {0, 0, 0, 0, 0}, {1, 0, 0, 0, 0}},
        {"device root: a first request id matches nothing", CID_DEVICE_ROOT, 11, {}, {0, 0, 0, 0, 0},
         {0, 0, 0, 0, 0}},
        {"enable: first request id of a", CID_SAR_ENABLE, 11, {}, {1, 0, 0, 0, 0}, {0, 0, 0, 0, 0}},
        {"version: second request id of a matches nothing", CID_SAR_VERSION, 21, {}, {0, 0, 0, 0, 0},
         {0, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        const Wakes a0 = WakesOf(m_a), b0 = WakesOf(m_b);
        SetComplete(&m_diag, c.cid, S_OK, c.requestId, c.reply);
        const Wakes a1 = WakesOf(m_a), b1 = WakesOf(m_b);
        EXPECT_EQ((Wakes{a1.command - a0.command, a1.sarSet - a0.sarSet, a1.sarQuery - a0.sarQuery, 0, 0}), c.a)
            << c.what;
        EXPECT_EQ((Wakes{b1.command - b0.command, b1.sarSet - b0.sarSet, b1.sarQuery - b0.sarQuery, 0, 0}), c.b)
            << c.what;
    }
}

TEST_F(Dispatch, QueryCompletionsStoreTheirFieldsAndWakeTheMatchingContext) {
    CTraceCapture trace;
    struct Case {
        const char* what;
        ULONG cid;
        ULONG requestId;
        Bytes reply;
        Wakes a;
    } cases[] = {
        {"version, 5 bytes", CID_SAR_VERSION, 11, {0, 9, 0, 0, 0x34}, {0, 0, 0, 0, 0}},
        {"version, 6 bytes", CID_SAR_VERSION, 11, {0, 9, 0, 0, 0x34, 0x12}, {1, 0, 0, 0, 0}},
        {"enable, 8 bytes", CID_SAR_ENABLE, 11, {1, 0, 0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}},
        {"enable, 4 bytes", CID_SAR_ENABLE, 11, {5, 0, 0, 0}, {1, 0, 0, 0, 0}},
        {"enable, another request id", CID_SAR_ENABLE, 99, {6, 0, 0, 0}, {0, 0, 0, 0, 0}},
        {"SAR config, 3 bytes", MBIM_CID_MS_SAR_CONFIG, 11, {1, 0, 0}, {0, 0, 0, 0, 0}},
        {"SAR config without the back-off index", MBIM_CID_MS_SAR_CONFIG, 11, SarConfigReply(1, 4, 28),
         {0, 0, 0, 0, 0}},
        {"SAR config, no element", MBIM_CID_MS_SAR_CONFIG, 11, SarConfigReply(0, 4), {0, 0, 0, 0, 0}},
        {"SAR config, two elements", MBIM_CID_MS_SAR_CONFIG, 11, SarConfigReply(2, 4), {0, 0, 2, 0, 0}},
    };
    for (const Case& c : cases) {
        const Wakes a0 = WakesOf(m_a), b0 = WakesOf(m_b);
        QueryComplete(&m_diag, c.cid, S_OK, c.requestId, c.reply);
        const Wakes a1 = WakesOf(m_a);
        EXPECT_EQ((Wakes{a1.command - a0.command, a1.sarSet - a0.sarSet, a1.sarQuery - a0.sarQuery, 0, 0}), c.a)
            << c.what;
        EXPECT_EQ(WakesOf(m_b), b0) << c.what;
    }
    // What the waking replies left behind.
    EXPECT_EQ(m_a->m_iTableIndex, 9);
    EXPECT_EQ(m_a->m_wTableCrc, 0x1234);
    EXPECT_EQ(m_a->m_dwLastQueryValue, 5u);
    EXPECT_EQ(m_a->m_iSarBackoffIndex, 4);
    EXPECT_TRUE(trace.Contains("querydata: 5\n"));
    EXPECT_EQ(m_b->m_iTableIndex, -1);
    EXPECT_EQ(m_b->m_dwLastQueryValue, 0u);
    EXPECT_EQ(m_b->m_iSarBackoffIndex, -1);
}

TEST_F(Dispatch, NotificationsCountOnlyFromTheDiagService) {
    CFakeDeviceService upperDiag(L"{2D0C12C9-0E6A-495A-915C-8D174FE5D63C}");
    CFakeDeviceService failingId(kDiagId);
    failingId.hrId = E_FAIL;
    const Bytes ack = Ack();
    struct Case {
        const char* what;
        IMbnDeviceService* service;
        Bytes data;
        uint64_t setValueWakes;
    } cases[] = {
        {"lower-case id from the API", &m_diag, ack, 1},
        {"upper-case id", &upperDiag, ack, 1},
        {"another service", &m_sar, ack, 0},
        {"no service object", nullptr, ack, 0},
        {"service id not readable", &failingId, ack, 0},
        {"16 bytes", &m_diag, Bytes(ack.begin(), ack.begin() + 16), 0},
        {"acknowledgement with a wrong CRC", &m_diag, sartest::AckWithBadCrc(), 0},
        {"acknowledgement with 3 at offset 10", &m_diag, Ack(3), 0},
    };
    for (const Case& c : cases) {
        const uint64_t a0 = m_a->m_wakeSetValue.SignalCount(), b0 = m_b->m_wakeSetValue.SignalCount();
        Notification(c.service, c.data);
        EXPECT_EQ(m_a->m_wakeSetValue.SignalCount() - a0, c.setValueWakes) << c.what;
        EXPECT_EQ(m_b->m_wakeSetValue.SignalCount() - b0, c.setValueWakes) << c.what;
    }
}

namespace {
struct CallbackLog {
    std::vector<Bytes> frames;
    SarDeviceContext* handle = nullptr;
};
void RecordFrame(SarDeviceContext* handle, const uint8_t* frame, uint32_t length, void* user) {
    auto log = static_cast<CallbackLog*>(user);
    log->handle = handle;
    log->frames.emplace_back(frame, frame + length);
}
}  // namespace

TEST_F(Dispatch, DataFramesReachEveryContextInOrder) {
    CallbackLog log;
    m_a->m_pfnCallback = &RecordFrame;
    m_a->m_pCallbackUser = &log;
    m_b->m_pfnCallback = &RecordFrame;  // no user pointer: never called
    const Bytes first(300, 0x7E), second = {1, 2, 3, 0x7D};

    Notification(&m_diag, DataFrame(first, 4));
    Notification(&m_diag, sartest::Frame(9, sartest::Le32(0), {9, 9, 9}, {1, 2}, false));  // no end mark
    Notification(&m_diag, DataFrame(second, 0));
    for (SarDeviceContext* c : {m_a, m_b}) {
        EXPECT_EQ(c->m_wakeGetValue.SignalCount(), 2u);
        EXPECT_EQ(c->m_dwBytesReceived, 304u);
        EXPECT_EQ(c->m_iBytesRemaining, 0);
        ASSERT_EQ(c->m_dwAccumLength, 304u);
        Bytes all(first);
        all.insert(all.end(), second.begin(), second.end());
        EXPECT_EQ(Bytes(c->m_pAccumBuffer.get(), c->m_pAccumBuffer.get() + 304), all);
    }
    ASSERT_EQ(log.frames.size(), 2u);
    EXPECT_EQ(log.frames[0], first);
    EXPECT_EQ(log.frames[1], second);
    EXPECT_EQ(log.handle, m_a);
}

namespace {
// The API may call the sink again on the thread that runs the callback.
struct NestedDelivery {
    std::function<void()> deliverNext;
    std::vector<Bytes> frames;
    static void Callback(SarDeviceContext*, const uint8_t* frame, uint32_t length, void* user) {
        auto self = static_cast<NestedDelivery*>(user);
        self->frames.emplace_back(frame, frame + length);
        if (self->frames.size() == 1) self->deliverNext();
    }
};
}  // namespace

TEST_F(Dispatch, FrameDeliveredInsideTheCallbackWaitsForItsTurn) {
    NestedDelivery nested;
    nested.deliverNext = [&] {
        Notification(&m_diag, DataFrame({2, 2}, 4));
        // Applied to the read at once, shown to the callback once this call returned.
        EXPECT_EQ(m_a->m_dwAccumLength, 5u);
        EXPECT_EQ(m_a->m_wakeGetValue.SignalCount(), 2u);
        EXPECT_EQ(nested.frames.size(), 1u);
    };
    m_a->m_pfnCallback = &NestedDelivery::Callback;
    m_a->m_pCallbackUser = &nested;
    kessatest::RunBounded("a frame delivered inside the callback", std::chrono::seconds(10),
                          [&] { Notification(&m_diag, DataFrame({1, 1, 1}, 6)); });
    EXPECT_EQ(nested.frames, (std::vector<Bytes>{{1, 1, 1}, {2, 2}}));
}

TEST_F(Dispatch, FramesBeyondTheBuffersAreRejected) {
    // Two frames of 6 MiB would pass the 10 MiB accumulation buffer.
    const Bytes big(6 * 1024 * 1024, 0x01);
    const Bytes bigFrame = sartest::Frame(1, sartest::Le32(1), big, {0x12, 0x34});
    Notification(&m_diag, bigFrame);
    EXPECT_EQ(m_a->m_dwAccumLength, big.size());
    EXPECT_FALSE(m_a->m_bReadOverflow);
    Notification(&m_diag, bigFrame);
    EXPECT_EQ(m_a->m_dwAccumLength, big.size());
    EXPECT_TRUE(m_a->m_bReadOverflow);
    EXPECT_EQ(m_a->m_wakeGetValue.SignalCount(), 2u);  // the read learns of it at once

    // A frame whose data alone pass the 10 MiB frame buffer.
    m_b->m_bReadOverflow = false;
    const Bytes huge(SarDeviceContext::kBufferSize + 1, 0x02);
    Notification(&m_diag, DataFrame(huge, 0));
    EXPECT_EQ(m_b->m_dwFrameLength, 0u);
    EXPECT_TRUE(m_b->m_bReadOverflow);
    EXPECT_NE(m_b->m_iBytesRemaining, 0);
}

TEST_F(Dispatch, SessionConfirmationsWakeTheMatchingSessionWait) {
    CFakeDeviceService stranger(L"{00000000-0000-0000-0000-000000000000}");
    struct Case {
        const char* what;
        IMbnDeviceService* service;
        HRESULT status;
        uint64_t a, b;
    } cases[] = {
        {"diag", &m_diag, S_OK, 1, 0},          {"SAR", &m_sar, S_OK, 0, 1},
        {"aux", &m_aux, S_OK, 1, 0},            {"diag failed", &m_diag, E_FAIL, 0, 0},
        {"another service", &stranger, S_OK, 0, 0},
    };
    for (const Case& c : cases) {
        const uint64_t a0 = m_manager->SessionWakeA().SignalCount(), b0 = m_manager->SessionWakeB().SignalCount();
        EXPECT_EQ(Sink().OnOpenCommandSessionComplete(c.service, c.status, 5), S_OK);
        EXPECT_EQ(m_manager->SessionWakeA().SignalCount() - a0, c.a) << c.what;
        EXPECT_EQ(m_manager->SessionWakeB().SignalCount() - b0, c.b) << c.what;
    }
}

TEST_F(Dispatch, SessionWaitCountsAConfirmationThatCameFirst) {
    // The API confirms before OpenCommandSession has even returned.
    m_diag.onOpenSession = [this] { Sink().OnOpenCommandSessionComplete(&m_diag, S_OK, 1); };
    m_sar.onOpenSession = [this] { Sink().OnOpenCommandSessionComplete(&m_sar, S_OK, 2); };
    EXPECT_EQ(m_manager->OpenCommandSessionAndWait(&m_diag, 500), CNuvikMbimManager::SessionResult::Opened);
    EXPECT_EQ(m_manager->OpenCommandSessionAndWait(&m_sar, 500), CNuvikMbimManager::SessionResult::Opened);
    m_aux.hrOpenSession = E_FAIL;
    EXPECT_EQ(m_manager->OpenCommandSessionAndWait(&m_aux, 500), CNuvikMbimManager::SessionResult::RequestFailed);
}

TEST_F(Dispatch, SessionWaitIgnoresWakeUpsWithoutItsConfirmation) {
    // A confirmation from before the request, spurious wake-ups and the SAR
    // service's confirmation do not end the diag service's wait.
    Sink().OnOpenCommandSessionComplete(&m_diag, S_OK, 1);
    std::atomic<bool> done{false};
    m_threads.emplace_back([&] {
        while (!done) {
            const_cast<CCompletionWake&>(m_manager->SessionWakeA()).Disturb();
            Sink().OnOpenCommandSessionComplete(&m_sar, S_OK, 2);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(m_manager->OpenCommandSessionAndWait(&m_diag, 500), CNuvikMbimManager::SessionResult::TimedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(450));
    done = true;
}

TEST_F(Dispatch, SessionConfirmedThroughAnotherObjectCountsForItsOwnRequestOnly) {
    // The platform may confirm through another object for the same service (a
    // new proxy): its request id and its interface and service ids tie it to the wait.
    const wchar_t kInterface[] = L"{3C5A9F10-2B7E-4D61-8A94-0E1F2D3C4B5A}";
    m_diag.m_interfaceId = kInterface;
    CFakeDeviceService twin(kDiagId), sarTwin(kSarId), elsewhere(kDiagId);
    twin.m_interfaceId = kInterface;
    sarTwin.m_interfaceId = kInterface;
    elsewhere.m_interfaceId = L"{00000000-2B7E-4D61-8A94-0E1F2D3C4B5A}";
    struct Case {
        const char* what;
        CFakeDeviceService* by;
        ULONG offset;  // added to the request id of the open
        bool early;    // before OpenCommandSession has returned
        CNuvikMbimManager::SessionResult result;
    } cases[] = {
        {"the same service, early", &twin, 0, true, CNuvikMbimManager::SessionResult::Opened},
        {"the same service, late", &twin, 0, false, CNuvikMbimManager::SessionResult::Opened},
        {"another request id", &twin, 1, true, CNuvikMbimManager::SessionResult::TimedOut},
        {"another request id, late", &twin, 1, false, CNuvikMbimManager::SessionResult::TimedOut},
        {"another service", &sarTwin, 0, true, CNuvikMbimManager::SessionResult::TimedOut},
        {"another interface", &elsewhere, 0, false, CNuvikMbimManager::SessionResult::TimedOut},
    };
    for (const Case& c : cases) {
        auto confirm = [this, &c] {
            Sink().OnOpenCommandSessionComplete(c.by, S_OK, m_diag.lastOpenRequestId + c.offset);
        };
        std::thread late;
        m_diag.onOpenSession = [&] {
            if (c.early) {
                confirm();
                return;
            }
            late = std::thread([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                confirm();
            });
        };
        EXPECT_EQ(m_manager->OpenCommandSessionAndWait(&m_diag, 300), c.result) << c.what;
        if (late.joinable()) late.join();
    }
    m_diag.onOpenSession = nullptr;
    // Outside any wait a confirmation through another object wakes nobody.
    const uint64_t a0 = m_manager->SessionWakeA().SignalCount();
    Sink().OnOpenCommandSessionComplete(&twin, S_OK, m_diag.lastOpenRequestId);
    EXPECT_EQ(m_manager->SessionWakeA().SignalCount(), a0);
}

TEST_F(Dispatch, InterfaceArrivalAndRemovalSetTheReadyFlag) {
    CTraceCapture trace;
    ASSERT_FALSE(m_manager->IsInitialised());
    // Not initialised: nothing is reopened, the flag is set all the same.
    EXPECT_EQ(m_manager->InterfaceManagerSink()->OnInterfaceArrival(nullptr), S_OK);
    EXPECT_EQ(m_manager->IsMbimReady(), 1);
    EXPECT_TRUE(trace.Contains("mbimready: 1\n\n"));
    EXPECT_EQ(m_manager->InterfaceManagerSink()->OnInterfaceRemoval(nullptr), S_OK);
    EXPECT_EQ(m_manager->IsMbimReady(), 0);
    EXPECT_TRUE(trace.Contains("mbimready: 0\n\n"));
    EXPECT_EQ(m_diag.Sent().size(), 0u);
}

TEST_F(Dispatch, ContextsOpenedAndClosedDuringTheDispatch) {
    std::atomic<bool> done{false};
    m_threads.emplace_back([&] {
        for (int i = 0; i < 60; ++i) {
            SarDeviceContext* c = m_manager->Services().OpenContext();
            ASSERT_NE(c, nullptr);
            m_manager->Services().CloseContext(c);
        }
        done = true;
    });
    uint64_t completions = 0;
    while (!done) {
        SetComplete(&m_sar, MBIM_CID_MS_SAR_CONFIG, S_OK, 1, SarConfigReply(1, 0, 16));
        ++completions;
    }
    EXPECT_EQ(m_a->m_wakeSarSet.SignalCount(), completions);
    EXPECT_EQ(m_manager->Services().ContextCount(), 2u);
}

namespace {
void CloseOwnContext(SarDeviceContext* handle, const uint8_t*, uint32_t, void* user) {
    static_cast<CNuvikMbimServices*>(user)->CloseContext(handle);
}
}  // namespace

TEST_F(Dispatch, CallbackMayCloseItsOwnContext) {
    m_a->m_pfnCallback = &CloseOwnContext;
    m_a->m_pCallbackUser = &m_manager->Services();
    Notification(&m_diag, DataFrame({1, 2, 3}, 0));
    EXPECT_EQ(m_manager->Services().ContextCount(), 1u);
    EXPECT_EQ(m_b->m_dwAccumLength, 3u);
}

TEST_F(Dispatch, ClosingFindsTheHandleOnce) {
    EXPECT_TRUE(m_manager->Services().CloseContext(m_b));
    EXPECT_FALSE(m_manager->Services().CloseContext(m_b));
    EXPECT_FALSE(m_manager->Services().CloseContext(nullptr));
    EXPECT_EQ(m_manager->Services().ContextCount(), 1u);
}

namespace {
class CRecordingObserver : public MbnObserver {
public:
    bool Update(MbnSubject*, const MbnEvent& event) override {
        events.push_back(event);
        CByteSafeArray data(event.pData);
        sizes.push_back(data.Size());
        return true;
    }
    std::vector<MbnEvent> events;
    std::vector<size_t> sizes;
};
}  // namespace

TEST(Sinks, EachCallBecomesOneEvent) {
    CTraceCapture trace;
    auto* deviceSink = new CDeviceServicesSink();
    auto* interfaceSink = new CInterfaceManagerEventsSink();
    deviceSink->AddRef();
    interfaceSink->AddRef();
    CRecordingObserver observer;
    deviceSink->Attach(&observer);
    deviceSink->Attach(&observer);  // once only
    interfaceSink->Attach(&observer);
    CFakeDeviceService service(kDiagId);
    IMbnDeviceService* s = &service;
    const Bytes three = {1, 2, 3};
    CUniqueSafeArray data(MakeByteSafeArray(three.data(), three.size()));
    CUniqueBstr id(L"{abc}");

    struct Case {
        const char* what;
        std::function<HRESULT()> call;
        uint32_t source, type;
        HRESULT status;
        ULONG requestId, cid, notificationId;
        size_t dataSize;
    } cases[] = {
        {"session opened", [&] { return deviceSink->OnOpenCommandSessionComplete(s, 0x10, 7); }, 13, 0, 0x10, 7, 0, 0,
         0},
        {"session closed", [&] { return deviceSink->OnCloseCommandSessionComplete(s, 0x11, 8); }, 13, 1, 0x11, 8, 0,
         0, 0},
        {"set", [&] { return deviceSink->OnSetCommandComplete(s, 3, data.Get(), kBusy, 9); }, 13, 2, kBusy, 9, 3, 0,
         3},
        {"query", [&] { return deviceSink->OnQueryCommandComplete(s, 4, data.Get(), 0x12, 10); }, 13, 3, 0x12, 10, 4,
         0, 3},
        {"supported commands", [&] { return deviceSink->OnQuerySupportedCommandsComplete(s, nullptr, 0x13, 11); },
         13, 3, 0x13, 11, 0, 0, 0},
        {"notification", [&] { return deviceSink->OnEventNotification(s, 42, data.Get()); }, 13, 4, 0, 0, 0, 42, 3},
        {"data session opened", [&] { return deviceSink->OnOpenDataSessionComplete(s, 0x14, 12); }, 13, 5, 0x14, 12,
         0, 0, 0},
        {"data session closed", [&] { return deviceSink->OnCloseDataSessionComplete(s, 0x15, 13); }, 13, 6, 0x15, 13,
         0, 0, 0},
        {"write data", [&] { return deviceSink->OnWriteDataComplete(s, 0x16, 14); }, 13, 7, 0x16, 14, 0, 0, 0},
        {"read data", [&] { return deviceSink->OnReadData(s, data.Get()); }, 13, 8, 0, 0, 0, 0, 3},
        {"interface state",
         [&] {
             return deviceSink->OnInterfaceStateChange(id.Get(), MBN_DEVICE_SERVICES_CAPABLE_INTERFACE_REMOVAL);
         },
         13, 9, 0, 0, 0, 0, 0},
        {"arrival", [&] { return interfaceSink->OnInterfaceArrival(nullptr); }, 5, 0, 0, 0, 0, 0, 0},
        {"removal", [&] { return interfaceSink->OnInterfaceRemoval(nullptr); }, 5, 0, 0, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        const size_t before = observer.events.size();
        EXPECT_EQ(c.call(), S_OK) << c.what;
        ASSERT_EQ(observer.events.size(), before + 1) << c.what;
        const MbnEvent& e = observer.events.back();
        EXPECT_EQ(e.dwSource, c.source) << c.what;
        EXPECT_EQ(e.dwType, c.type) << c.what;
        EXPECT_EQ(e.hrStatus, c.status) << c.what;
        EXPECT_EQ(e.dwRequestId, c.requestId) << c.what;
        EXPECT_EQ(e.dwCid, c.cid) << c.what;
        EXPECT_EQ(e.dwNotificationId, c.notificationId) << c.what;
        EXPECT_EQ(observer.sizes.back(), c.dataSize) << c.what;
        if (c.source == 13 && c.type != 9) {
            EXPECT_EQ(e.pObject, s) << c.what;
        }
    }
    EXPECT_EQ(observer.events[10].strInterfaceId, "{abc}");
    EXPECT_EQ(observer.events[10].dwInterfaceState, 1u);
    EXPECT_EQ(observer.events[11].dwRemoval, 0u);
    EXPECT_EQ(observer.events[12].dwRemoval, 1u);
    EXPECT_TRUE(trace.Contains("OnSetCommandComplete cid = 3 status = 0x800700aa\n"));
    EXPECT_TRUE(trace.Contains("OnQueryCommandComplete cid = 4 status = 0x12\n"));
    EXPECT_TRUE(trace.Contains("MBN_DEVICE_SERVICES_CAPABLE_INTERFACE_Remove\n"));

    // Detached: the sinks still answer, nobody hears.
    deviceSink->Detach(&observer);
    interfaceSink->Detach(&observer);
    const size_t before = observer.events.size();
    EXPECT_EQ(deviceSink->OnSetCommandComplete(s, 3, data.Get(), S_OK, 1), S_OK);
    EXPECT_EQ(interfaceSink->OnInterfaceArrival(nullptr), S_OK);
    EXPECT_EQ(observer.events.size(), before);
    deviceSink->Release();
    interfaceSink->Release();
}

TEST(Sinks, AnswerOnlyTheirOwnInterfaces) {
    auto* deviceSink = new CDeviceServicesSink();
    auto* interfaceSink = new CInterfaceManagerEventsSink();
    struct Case {
        IUnknown* sink;
        REFIID iid;
        HRESULT expected;
    } cases[] = {
        {static_cast<IMbnDeviceServicesEvents*>(deviceSink), IID_IUnknown, S_OK},
        {static_cast<IMbnDeviceServicesEvents*>(deviceSink), IID_IMbnDeviceServicesEvents, S_OK},
        {static_cast<IMbnDeviceServicesEvents*>(deviceSink), IID_IMbnInterfaceManagerEvents, E_NOINTERFACE},
        {static_cast<IMbnInterfaceManagerEvents*>(interfaceSink), IID_IUnknown, S_OK},
        {static_cast<IMbnInterfaceManagerEvents*>(interfaceSink), IID_IMbnInterfaceManagerEvents, S_OK},
        {static_cast<IMbnInterfaceManagerEvents*>(interfaceSink), IID_IMbnDeviceServicesEvents, E_NOINTERFACE},
        {static_cast<IMbnInterfaceManagerEvents*>(interfaceSink), IID_IConnectionPointContainer, E_NOINTERFACE},
    };
    ULONG expectedRefs[2] = {0, 0};
    for (const Case& c : cases) {
        void* out = reinterpret_cast<void*>(1);
        EXPECT_EQ(c.sink->QueryInterface(c.iid, &out), c.expected);
        if (c.expected == S_OK) {
            EXPECT_EQ(out, c.sink);
            ++expectedRefs[c.sink == static_cast<IMbnDeviceServicesEvents*>(deviceSink) ? 0 : 1];
        } else {
            EXPECT_EQ(out, nullptr);
        }
    }
    // Counts start at 0; each successful query added one; the last Release frees the sink.
    EXPECT_EQ(deviceSink->AddRef(), expectedRefs[0] + 1);
    EXPECT_EQ(interfaceSink->AddRef(), expectedRefs[1] + 1);
    for (ULONG n = expectedRefs[0] + 1; n > 0; --n) EXPECT_EQ(deviceSink->Release(), n - 1);
    for (ULONG n = expectedRefs[1] + 1; n > 0; --n) EXPECT_EQ(interfaceSink->Release(), n - 1);
}

TEST_F(KessaInProcess, FileCrcIsKeptOnTheContext) {
    SarDeviceContext* context = Open();
    const Bytes file = sartest::Text("123456789xyz");
    uint16_t crc = 0;
    EXPECT_EQ(GetFileCrcCmd(context, file.data(), 12, &crc), 0);
    EXPECT_EQ(crc, 0x906E);
    EXPECT_EQ(context->m_wLastFileCrc, 0x906E);
    EXPECT_EQ(GetFileCrcCmd(context, nullptr, 12, &crc), 0);
    EXPECT_EQ(crc, 0xFFFB);
    EXPECT_EQ(context->m_wLastFileCrc, 0xFFFB);
}
