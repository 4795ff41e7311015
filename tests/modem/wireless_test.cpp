// The wireless notification manager and the Mobile Broadband event sinks,
// registered with the simulated modem through the real connection points.
#include "CSinkMbnEvents.h"
#include "CSinkMbnInterfaceMgrEvent.h"
#include "CSinkMbnRadioEvent.h"
#include "CSinkMbnRegistrationEvents.h"
#include "CWirelessDeviceMgr.h"
#include "ModemFixture.h"

#include <atomic>
#include <functional>
#include <thread>
#include <stdexcept>
#include <new>

using simmodem::FaultSpec;
using simmodem::InterfaceSpec;

namespace {
class CChangeCounter : public IObsvrWlanAndMbnNotification {
public:
    std::atomic<int> changes{0};
    std::atomic<DWORD> thread{0};
    void NotifyChange() override {
        thread = GetCurrentThreadId();
        ++changes;
    }
};

class Wireless : public ModemFixture {
protected:
    void SetUp() override {
        ModemFixture::SetUp();
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    }
    void TearDown() override {
        CoUninitialize();
        ModemFixture::TearDown();
    }
    uint32_t Advised() {
        return sim.AdvisedCount(SIMMODEM_SINK_RADIO) + sim.AdvisedCount(SIMMODEM_SINK_INTERFACE_MANAGER) +
               sim.AdvisedCount(SIMMODEM_SINK_REGISTRATION);
    }
    // Switches the software radio through the API, as a client would, and waits for its completion.
    void SwitchRadio(MBN_RADIO state) {
        Microsoft::WRL::ComPtr<IMbnInterfaceManager> manager;
        ASSERT_EQ(CoCreateInstance(CLSID_MbnInterfaceManager, nullptr, CLSCTX_ALL, IID_IMbnInterfaceManager,
                                   reinterpret_cast<void**>(manager.GetAddressOf())),
                  S_OK);
        Microsoft::WRL::ComPtr<IMbnInterface> mbnInterface;
        ASSERT_EQ(manager->GetInterface(sim.InterfaceId(0).c_str(), mbnInterface.GetAddressOf()), S_OK);
        Microsoft::WRL::ComPtr<IMbnRadio> radio;
        ASSERT_EQ(mbnInterface.As(&radio), S_OK);
        ULONG requestId = 0;
        ASSERT_EQ(radio->SetSoftwareRadioState(state, &requestId), S_OK);
        ASSERT_TRUE(sim.WaitIdle());
    }
};

// Events whose interface pointer is the caller's, a tear-off or another object.
class WirelessDelivery : public Wireless, public ::testing::WithParamInterface<uint32_t> {
protected:
    void SetUp() override {
        Wireless::SetUp();
        delivery = GetParam();
    }
};
}  // namespace

TEST_F(Wireless, StartAndStopRegisterAndReleaseTheThreeSinks) {
    UseModem(InterfaceSpec::Qualcomm());
    CWirelessDeviceMgr* manager = CWirelessDeviceMgr::GetInstance();
    EXPECT_EQ(CWirelessDeviceMgr::GetInstance(), manager);
    manager->Start();
    manager->Start();
    EXPECT_TRUE(manager->IsRunning());
    EXPECT_EQ(sim.AdvisedCount(SIMMODEM_SINK_RADIO), 1u);
    EXPECT_EQ(sim.AdvisedCount(SIMMODEM_SINK_INTERFACE_MANAGER), 1u);
    EXPECT_EQ(sim.AdvisedCount(SIMMODEM_SINK_REGISTRATION), 1u);
    EXPECT_TRUE(manager->IsComInitialized());

    // A reference of the test's own on each sink: after Stop it is the last one.
    IUnknown* sinks[] = {static_cast<IMbnRadioEvents*>(manager->RadioSink()),
                         static_cast<IMbnInterfaceManagerEvents*>(manager->InterfaceMgrSink()),
                         static_cast<IMbnRegistrationEvents*>(manager->RegistrationSink())};
    for (IUnknown* sink : sinks) EXPECT_EQ(sink->AddRef(), 3u) << "the manager's, the connection point's, ours";
    manager->Stop();
    EXPECT_FALSE(manager->IsRunning());
    EXPECT_EQ(Advised(), 0u);
    EXPECT_FALSE(manager->IsComInitialized());
    for (IUnknown* sink : sinks) EXPECT_EQ(sink->Release(), 0u) << "released to 0, deleted";
    manager->Stop();

    // Start after Stop registers new sinks.
    manager->Start();
    EXPECT_EQ(Advised(), 3u);
    manager->Stop();
    delete static_cast<IObsvrMbnRadioEvents*>(manager);
    CWirelessDeviceMgr* again = CWirelessDeviceMgr::GetInstance();
    EXPECT_FALSE(again->IsRunning()) << "a new instance after the last was deleted";
    delete static_cast<IObsvrMbnRadioEvents*>(again);
}

TEST_P(WirelessDelivery, ArrivalAndRadioSwitchNotify) {
    UseModem(InterfaceSpec::Qualcomm());
    CWirelessDeviceMgr* manager = CWirelessDeviceMgr::GetInstance();
    CChangeCounter observer;
    manager->Attach(&observer);
    manager->Start();

    // One after another on the same modem: each step and how many
    // notifications it brings.
    struct Step {
        const char* what;
        std::function<void()> act;
        int notified;
    } steps[] = {
        {"a completed switch with the hardware radio on", [&] { SwitchRadio(MBN_RADIO_ON); }, 1},
        {"the hardware switch off: nobody", [&] { sim.SetRadio(0, 0); }, 0},
        {"a completed switch with the hardware radio off: nobody", [&] { SwitchRadio(MBN_RADIO_ON); }, 0},
        {"the hardware switch on again, the software radio on", [&] { sim.SetRadio(0, 1); }, 1},
        {"a completed switch with the hardware radio unreadable: nobody",
         [&] {
             sim.AddFault(FaultSpec::Fail(SIMMODEM_METHOD_GET_HARDWARE_RADIO, E_FAIL, 1));
             SwitchRadio(MBN_RADIO_ON);
         },
         0},
        {"another program's switch off: its completion with the hardware radio on, the change nobody",
         [&] { SwitchRadio(MBN_RADIO_OFF); }, 1},
        {"the software radio on by another program, seen as a change", [&] { sim.SetRadio(0, -1, 1); }, 1},
        {"the software radio off with the hardware radio off: nobody", [&] { sim.SetRadio(0, 0, 0); }, 0},
        {"the hardware radio on, the software radio still off: nobody", [&] { sim.SetRadio(0, 1); }, 0},
        {"the radio changes with the software radio unreadable: nobody",
         [&] {
             sim.AddFault(FaultSpec::Fail(SIMMODEM_METHOD_GET_SOFTWARE_RADIO, E_FAIL, 1));
             sim.SetRadio(0, -1, 1);
         },
         0},
        {"a removal notifies nobody", [&] { sim.RemoveInterface(0); }, 0},
        {"an arrival", [&] { sim.ArriveInterface(0); }, 1},
    };
    int expected = 0;
    for (const Step& step : steps) {
        step.act();
        ASSERT_TRUE(sim.WaitIdle()) << step.what;
        expected += step.notified;
        EXPECT_EQ(observer.changes, expected) << step.what;
    }
    EXPECT_TRUE(sim.IsDeliveryThread(observer.thread)) << "on the Mobile Broadband event thread";

    manager->Stop();
    sim.RemoveInterface(0);
    sim.ArriveInterface(0);
    sim.SetRadio(0, 0);
    sim.SetRadio(0, 1);
    ASSERT_TRUE(sim.WaitIdle());
    EXPECT_EQ(observer.changes, expected) << "stopped: no more notifications";
    delete static_cast<IObsvrMbnRadioEvents*>(manager);
}

INSTANTIATE_TEST_SUITE_P(Modes, WirelessDelivery, DeliveryModes(), DeliveryName);

TEST_F(Wireless, NoMobileBroadbandServiceLeavesItRunningWithoutSinks) {
    UseModem(InterfaceSpec::Qualcomm(), FaultSpec::NoService());
    CWirelessDeviceMgr* manager = CWirelessDeviceMgr::GetInstance();
    DWORD start = GetTickCount();
    manager->Start();
    EXPECT_LT(GetTickCount() - start, 2000u) << "a missing class answers fast";
    EXPECT_TRUE(manager->IsRunning());
    EXPECT_EQ(Advised(), 0u);
    EXPECT_EQ(manager->RadioSink(), nullptr);
    manager->Stop();
    EXPECT_FALSE(manager->IsRunning());
    delete static_cast<IObsvrMbnRadioEvents*>(manager);
}

TEST_F(Wireless, SingleThreadedCallerStillRegisters) {
    UseModem(InterfaceSpec::Qualcomm());
    std::thread sta([&] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        CWirelessDeviceMgr* manager = CWirelessDeviceMgr::GetInstance();
        manager->Start();
        EXPECT_TRUE(manager->IsComInitialized()) << "RPC_E_CHANGED_MODE still counts";
        EXPECT_EQ(Advised(), 3u);
        manager->Stop();
        delete static_cast<IObsvrMbnRadioEvents*>(manager);
        CoUninitialize();
    });
    sta.join();
}

// Each thread's COM initialisations are undone on that thread, as many times:
// the starting thread has none left once Start returns, and a stopping thread
// that initialised COM itself keeps its own after Stop. The sinks go on
// delivering after the thread that registered them has ended.
TEST_F(Wireless, ComIsInitialisedAndUninitialisedOnEachThreadAlike) {
    UseModem(InterfaceSpec::Qualcomm());
    // S_OK: the thread had no COM initialisation; S_FALSE: it had one. Either way undone again.
    auto probe = [] {
        HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (SUCCEEDED(hr)) CoUninitialize();
        return hr;
    };
    CWirelessDeviceMgr* manager = CWirelessDeviceMgr::GetInstance();
    CChangeCounter observer;
    manager->Attach(&observer);
    HRESULT afterStart = E_FAIL;
    std::thread starter([&] {
        manager->Start();
        afterStart = probe();
    });
    starter.join();
    EXPECT_EQ(afterStart, S_OK) << "Start left COM initialised on its thread";
    EXPECT_EQ(Advised(), 3u);

    sim.RemoveInterface(0);
    sim.ArriveInterface(0);
    ASSERT_TRUE(sim.WaitIdle());
    EXPECT_EQ(observer.changes, 1) << "an arrival after the registering thread ended";

    HRESULT afterStop = E_FAIL;
    std::thread stopper([&] {
        HRESULT own = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        manager->Stop();
        afterStop = probe();
        if (SUCCEEDED(own)) CoUninitialize();
    });
    stopper.join();
    EXPECT_EQ(afterStop, S_FALSE) << "Stop took away the stopping thread's own initialisation";
    EXPECT_EQ(Advised(), 0u);
    delete static_cast<IObsvrMbnRadioEvents*>(manager);
}

TEST(EventSinks, QueryInterfaceAndReferenceCount) {
    CSinkMbnRadioEvent* radio = new CSinkMbnRadioEvent();
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(radio->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(radio->QueryInterface(IID_IMbnInterfaceManagerEvents, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(radio->QueryInterface(IID_IMbnRadioEvents, &out), S_OK) << "count 0 to 1";
    EXPECT_EQ(out, static_cast<IMbnRadioEvents*>(radio));
    EXPECT_EQ(radio->AddRef(), 2u);
    EXPECT_EQ(radio->Release(), 1u);
    EXPECT_EQ(radio->Release(), 0u);

    struct Case {
        IUnknown* sink;
        const IID* own;
    } cases[] = {{static_cast<IMbnInterfaceManagerEvents*>(new CSinkMbnInterfaceMgrEvent()), &IID_IMbnInterfaceManagerEvents},
                 {new CSinkMbnRegistrationEvents(), &IID_IMbnRegistrationEvents},
                 {static_cast<IMbnDeviceServicesEvents*>(new CSinkMbnEvents()), &IID_IMbnDeviceServicesEvents}};
    for (const Case& c : cases) {
        EXPECT_EQ(c.sink->QueryInterface(IID_IMbnRadioEvents, &out), E_NOINTERFACE);
        EXPECT_EQ(c.sink->QueryInterface(*c.own, &out), S_OK);
        EXPECT_EQ(c.sink->QueryInterface(IID_IUnknown, &out), S_OK);
        EXPECT_EQ(c.sink->Release(), 1u);
        EXPECT_EQ(c.sink->Release(), 0u);
    }
}

TEST(EventSinks, ForwardingAndResults) {
    class CRadioObserver : public IObsvrMbnRadioEvents {
    public:
        int calls = 0;
        int changes = 0;
        HRESULT OnSetSoftwareRadioStateComplete(IMbnRadio*, ULONG requestId, HRESULT status) override {
            ++calls;
            EXPECT_EQ(requestId, 7u);
            EXPECT_EQ(status, E_FAIL);
            return E_FAIL;
        }
        HRESULT OnRadioStateChange(IMbnRadio*) override {
            ++changes;
            return E_FAIL;
        }
    } observer;
    CSinkMbnRadioEvent* radio = new CSinkMbnRadioEvent();
    radio->AddRef();
    EXPECT_EQ(radio->OnSetSoftwareRadioStateComplete(nullptr, 7, E_FAIL), S_OK) << "no observers";
    radio->Attach(&observer);
    radio->Attach(&observer);
    EXPECT_EQ(radio->OnSetSoftwareRadioStateComplete(nullptr, 7, E_FAIL), S_OK) << "observers' results are ignored";
    EXPECT_EQ(observer.calls, 2);
    EXPECT_EQ(radio->OnRadioStateChange(nullptr), S_OK);
    EXPECT_EQ(observer.changes, 2);
    EXPECT_EQ(radio->Release(), 0u) << "deleted with observers attached, none called";
    EXPECT_EQ(observer.calls, 2);
    EXPECT_EQ(observer.changes, 2);

    // What an observer raises stays in the sink's method: the platform's thread gets a failure, not an exception.
    class CThrowingObserver : public IObsvrMbnRadioEvents, public IObsvrMbnInterfaceMgrEvents {
    public:
        HRESULT OnSetSoftwareRadioStateComplete(IMbnRadio*, ULONG, HRESULT) override { throw std::bad_alloc(); }
        HRESULT OnRadioStateChange(IMbnRadio*) override { throw std::runtime_error("radio"); }
        HRESULT OnInterfaceArrival(IMbnInterface*) override { throw std::runtime_error("arrival"); }
        HRESULT OnInterfaceRemoval(IMbnInterface*) override { throw 1; }
    } thrower;
    radio = new CSinkMbnRadioEvent();
    radio->AddRef();
    radio->Attach(&thrower);
    CSinkMbnInterfaceMgrEvent* arrivals = new CSinkMbnInterfaceMgrEvent();
    arrivals->AddRef();
    arrivals->Attach(&thrower);
    EXPECT_EQ(radio->OnSetSoftwareRadioStateComplete(nullptr, 1, S_OK), E_UNEXPECTED);
    EXPECT_EQ(radio->OnRadioStateChange(nullptr), E_UNEXPECTED);
    EXPECT_EQ(arrivals->OnInterfaceArrival(nullptr), E_UNEXPECTED);
    EXPECT_EQ(arrivals->OnInterfaceRemoval(nullptr), E_UNEXPECTED);
    EXPECT_EQ(radio->Release(), 0u);
    EXPECT_EQ(arrivals->Release(), 0u);

    CSinkMbnEvents* services = new CSinkMbnEvents();
    services->AddRef();
    EXPECT_FALSE(services->IsRunning());
    EXPECT_EQ(services->OnQueryCommandComplete(nullptr, 1, nullptr, E_ACCESSDENIED, 3), E_ACCESSDENIED);
    EXPECT_EQ(services->OnQueryCommandComplete(nullptr, 1, nullptr, S_OK, 3), S_OK);
    EXPECT_EQ(services->OnSetCommandComplete(nullptr, 1, nullptr, E_FAIL, 3), S_OK);
    EXPECT_EQ(services->OnEventNotification(nullptr, 2, nullptr), S_OK);
    EXPECT_EQ(services->Release(), 0u);
}
