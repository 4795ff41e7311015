#include "CTarvoApplication.h"

#include "CClock.h"
#include "CHelpers.h"
#include "CService.h"
#include "CSystem.h"
#include "CTagFile.h"
#include "CTagFileTrust.h"
#include "CTarvoDeviceFactory.h"
#include "CTarvoLumoDeviceFactory.h"
#include "CWWANDevice.h"
#include "CWatcherPSensor.h"
#include "CWatcherThermova.h"
#include "CWirelessDeviceMgr.h"
#include "CmNotify.h"
#include "Handles.h"
#include "Logger.h"
#include "MBSar.h"
#include "PlatformFlags.h"
#include "ServiceTrigger.h"

#include <setupapi.h>

#include <cstdio>
#include <exception>

namespace {
// How long the initial state waits for the P-sensor watcher to watch (clock ms):
// a thread start and a driver request, bounded so a stuck one cannot hold the start-up.
const DWORD kWatcherStartBoundMs = 5000;
std::atomic<int> s_lastDeviceReady{0};

// Holds a critical section for its scope; m_csWatchers only for a pointer
// read, never across a call into a watcher.
class CSectionGuard {
public:
    explicit CSectionGuard(CRITICAL_SECTION& cs) : m_cs(cs) { ::EnterCriticalSection(&m_cs); }
    ~CSectionGuard() { ::LeaveCriticalSection(&m_cs); }

private:
    CRITICAL_SECTION& m_cs;
};

// A reader's reference to a watcher, dropped at the end of the scope.
template <typename TWatcher>
class CWatcherUse {
public:
    explicit CWatcherUse(TWatcher* watcher) : m_p(watcher) {}
    ~CWatcherUse() {
        if (m_p) m_p->ReleaseReference();
    }
    TWatcher* operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }

private:
    TWatcher* m_p;
};

}  // namespace

CTarvoApplication::CTarvoApplication()
    : m_pDeviceFactory(nullptr),
      m_pWWANDeviceObj(nullptr),
      m_pPSensorWatcher(nullptr),
      m_pThermovaWatcher(nullptr),
      m_pWirelessDeviceMgr(nullptr),
      m_bMonitorOff(false),
      m_bSpareFlag(false),
      m_decisionRetry([this] { RetryDecision(); }),
      m_displayStateThread([this](CDisplayStateThread::Event event) {
          switch (event) {
          case CDisplayStateThread::Event::DisplayOn:
              MonitorPowerOn();
              break;
          case CDisplayStateThread::Event::DisplayOff:
              MonitorPowerOff();
              break;
          case CDisplayStateThread::Event::Resume: {
              // The radio switch ends at the service's stop, as a decision's requests do.
              CClock::CThreadStopScope stopScope(m_hStopEvent);
              SetWWANRadioState(1);
              SignalRestart();
              break;
          }
          }
      }),
      m_bWirelessDeviceMgrStarting(false),
      m_bWirelessDeviceMgrStopped(false) {
    m_hRestartEvent = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ::InitializeCriticalSection(&m_csDecision);
    ::InitializeCriticalSection(&m_csWatchers);
    ::InitializeCriticalSection(&m_csWirelessDeviceMgr);
}

CTarvoApplication::~CTarvoApplication() {
    // The worker and the display thread may still be at work: they must have
    // left the objects below before they go. Their waits on the modem and the
    // worker's sleeps end at the stop request.
    CThread::Stop(false);
    m_displayStateThread.Shutdown();
    m_decisionRetry.Shutdown();
    m_displayStateThread.WaitForEnd(INFINITE);
    m_decisionRetry.WaitForEnd(INFINITE);
    if (m_hThread && ::GetCurrentThreadId() != m_dwThreadId) ::WaitForSingleObject(m_hThread, INFINITE);

    // What the worker attached while Stop ran is detached now; nothing notifies
    // this object once these calls have returned.
    DetachWatchers();
    ReleaseRetiredWatchers(true);

    if (m_pDeviceFactory) {
        delete m_pWWANDeviceObj.exchange(nullptr);
        CWatcherPSensor* psensor = nullptr;
        CWatcherThermova* thermova = nullptr;
        {
            CSectionGuard guard(m_csWatchers);
            psensor = m_pPSensorWatcher;
            thermova = m_pThermovaWatcher;
            m_pPSensorWatcher = nullptr;
            m_pThermovaWatcher = nullptr;
        }
        // A watcher still in a step that does not watch its stop event (the
        // Thermova start-up hold) frees itself when its thread ends.
        if (psensor) psensor->SetAutoDelete();
        if (thermova) thermova->SetAutoDelete();
        CWirelessDeviceMgr* manager = nullptr;
        {
            CSectionGuard guard(m_csWirelessDeviceMgr);
            manager = m_pWirelessDeviceMgr;
            m_pWirelessDeviceMgr = nullptr;
        }
        if (manager) delete static_cast<IObsvrMbnRadioEvents*>(manager);
        delete m_pDeviceFactory.exchange(nullptr);
    }
    if (m_hRestartEvent) ::CloseHandle(m_hRestartEvent);
    m_hRestartEvent = nullptr;
    ::DeleteCriticalSection(&m_csWirelessDeviceMgr);
    ::DeleteCriticalSection(&m_csWatchers);
    ::DeleteCriticalSection(&m_csDecision);
}

int CTarvoApplication::GetLastDeviceReady() { return s_lastDeviceReady.load(); }

void CTarvoApplication::SetLastDeviceReady(int ready) { s_lastDeviceReady.store(ready); }

CWatcherPSensor* CTarvoApplication::AcquirePSensorWatcher() {
    CSectionGuard guard(m_csWatchers);
    if (m_pPSensorWatcher) m_pPSensorWatcher->AddReference();
    return m_pPSensorWatcher;
}

CWatcherThermova* CTarvoApplication::AcquireThermovaWatcher() {
    CSectionGuard guard(m_csWatchers);
    if (m_pThermovaWatcher) m_pThermovaWatcher->AddReference();
    return m_pThermovaWatcher;
}

bool CTarvoApplication::SleepUnlessStopped(DWORD ms) {
    return CClock::Wait(m_hStopEvent, ms) == WAIT_TIMEOUT;
}

void CTarvoApplication::Start() { CThread::Start(nullptr); }

bool CTarvoApplication::WaitForWorkerEnd(DWORD ms) {
    if (!m_hThread || ::GetCurrentThreadId() == m_dwThreadId) return true;
    return ::WaitForSingleObject(m_hThread, ms) == WAIT_OBJECT_0;
}

void CTarvoApplication::Stop() {
    try {
        // Signalled before the sources are detached: every wait on the modem
        // made for this object, on whatever thread, ends now, so the detaching
        // (which waits for a notification under way) never waits for a silent modem.
        CThread::Stop(false);
        m_displayStateThread.Shutdown();
        m_decisionRetry.Shutdown();
        DetachWatchers();
    } catch (const std::exception& e) {
        LogWrite("CTarvoApplication::Stop", e.what(), 2);
    }
}

DWORD CTarvoApplication::Run(void* param) {
    const char* fn = "CTarvoApplication::Run";
    // The modem's start-up waits (readiness, firmware update, reboot) end at this worker's stop.
    CClock::CThreadStopScope stopScope(m_hStopEvent);
    CService service(nullptr);

    // Only a tag an administrator could have placed stops the start-up.
    const CLogFolderChain::Result tag = CTagFile::Find();
    if (tag.finding == CLogFolderChain::Finding::Sound) {
        LogWrite(fn, "Tarvo.tag is found, do not proceed Tarvo init!", 0);
        return 0;
    }
    if (tag.finding != CLogFolderChain::Finding::Missing) LogWrite(fn, CTagFileTrust::Describe(tag), 2);
    LogWrite(fn, "Tarvo.tag is not found, continue!", 0);
    LogWrite(fn, "Inside Run()", 1);

    // Each step begins only while no stop is requested: a stop that lands while
    // a step succeeds ends the start-up before the next one.
    auto stopped = [&] {
        if (!IsStopRequested()) return false;
        LogWrite(fn, "Stop requested, start-up ended", 1);
        return true;
    };
    try {
        if (stopped()) return 0;
        if (GetWWANRadioState() == 1) {
            LogWrite(fn, "=====================>>>>> W_Disable is high before Tarvo started!!! <Warning!!!>", 0);
        } else {
            SetWWANRadioState(1);
            if (GetWWANRadioState() != 1)
                LogWrite(fn, "=====================>>>>> Tarvo set W_Disable to high failed!!! <ERROR>", 2);
            else
                LogWrite(fn, "=====================>>>>> Tarvo set W_Disable to high OK!!!", 0);
        }

        if (stopped()) return 0;
        m_pDeviceFactory = CreateDeviceSpecificFactory();
        if (!m_pDeviceFactory) LogWrite(fn, "Unsupported device.", 2);

        for (int attempt = 0; attempt < 10; ++attempt) {
            if (stopped()) return 0;
            CTarvoDeviceFactory* factory = m_pDeviceFactory;
            m_pWWANDeviceObj = factory ? factory->CreateWWANDevice() : nullptr;
            if (m_pWWANDeviceObj) break;
            if (!SleepUnlessStopped(1000)) return 0;
            LogWrite(fn, "Retry...", 2);
        }
        CWWANDevice* modem = m_pWWANDeviceObj;
        if (!modem) {
            LogWrite(fn, "WWANDevice not found.", 2);
            return 0;
        }

        if (stopped()) return 0;
        g_strWWANDeviceName = modem->GetModelName();
        MBSar::InitSAR();

        bool initialized = false;
        for (int attempt = 0; attempt < 10 && !initialized; ++attempt) {
            if (stopped()) return 0;
            if (modem->Initialize() == 1) {
                initialized = true;
                break;
            }
            // A start-up cut short by the stop is not a failure to retry.
            if (IsStopRequested()) return 0;
            LogWrite(fn, "m_pWWANDeviceObj->Initialize() failed, initialize again after 10 seconds!", 2);
            if (!SleepUnlessStopped(10000)) return 0;
        }
        if (!initialized) {
            LogWrite(fn, "Critical error !!! Module cannot initialize!!!<ERROR>", 2);
            Stop();
            service.CmdStop();
            // The service is stopping: nothing more is started.
            return 0;
        }

        CHelpers::InitStateLock();
        if (stopped()) return 0;
        AttachWatchers();
        if (stopped()) return 0;
        ApplyInitialState();
        bool watchersMissing = false;
        if (CWatcherUse<CWatcherPSensor> psensor{AcquirePSensorWatcher()})
            psensor->Resume();
        else {
            LogWrite(fn, "Does not have P-sensor Object.", 2);
            watchersMissing = true;
        }
        if (CWatcherUse<CWatcherThermova> thermova{AcquireThermovaWatcher()})
            thermova->Resume();
        else {
            LogWrite(fn, "Does not have Thermova Object.", 2);
            watchersMissing = true;
        }
        if (watchersMissing) return 0;

        HANDLE handles[2] = {m_hStopEvent, m_hRestartEvent};
        for (;;) {
            DWORD served = ::WaitForMultipleObjects(2, handles, FALSE, INFINITE);
            if (served == WAIT_OBJECT_0 + 1) {
                // What one resume raises ends that resume alone: the worker
                // still serves the next one.
                bool stoppedMeanwhile = false;
                try {
                    RestartWatchers();
                    stoppedMeanwhile = !SleepUnlessStopped(10000);
                    if (!stoppedMeanwhile) ResendInitialSar();
                } catch (const std::exception& e) {
                    LogWrite(fn, e.what(), 2);
                }
                if (!stoppedMeanwhile) continue;
                CHelpers::DeleteStateLock();
                break;
            }
            CHelpers::DeleteStateLock();
            break;
        }
    } catch (const std::exception& e) {
        LogWrite(fn, e.what(), 2);
    }
    return 0;
}

CTarvoDeviceFactory* CTarvoApplication::CreateDeviceSpecificFactory() {
    const char* fn = "CTarvoApplication::CreateDeviceSpecificFactory";
    CSystem system;
    std::string biosId;
    std::string machineType;
    system.GetBIOSID(biosId);
    system.GetSystemModel(machineType);
    LogWrite(fn, "Inside Inside device factory", 1);
    if (!system.IsWindows7OrGreater()) return nullptr;

    std::string id5 = biosId.substr(0, 5);
    if (id5 != "Q47XV" && id5 != "Q48XV") {
        LogWrite(fn, "Does not find target system on Windows 7 or later", 1);
        return nullptr;
    }
    CTarvoDeviceFactory* factory = new CTarvoLumoDeviceFactory(biosId);
    std::string type4 = machineType.substr(0, 4);
    if (type4 == "7KQA" || type4 == "7KQB") {
        g_bLumoPlatform = true;
        LogWrite(fn, "This is Lumo Platform!", 1);
    } else {
        g_bDovraPlatform = true;
        if (type4 == "7KQC" || type4 == "7KQD")
            LogWrite(fn, "This is Dovra Vardo Platform!", 1);
        else
            LogWrite(fn, "This is Dovra Ombra Platform!", 1);
    }
    return factory;
}

int CTarvoApplication::AttachWatchers() {
    if (!m_pDeviceFactory) return 0;
    CWatcherPSensor* psensor = CWatcherPSensor::Create();
    CWatcherThermova* thermova = CWatcherThermova::Create();
    {
        CSectionGuard guard(m_csWatchers);
        m_pPSensorWatcher = psensor;
        m_pThermovaWatcher = thermova;
    }
    psensor->Attach(this);
    psensor->Start();
    thermova->Attach(this);
    thermova->Start();
    StartWirelessDeviceMgr();
    return 0;
}

int CTarvoApplication::DetachWatchers() {
    if (m_pDeviceFactory) {
        if (CWatcherUse<CWatcherPSensor> psensor{AcquirePSensorWatcher()}) {
            psensor->Detach(this);
            psensor->Stop();
        }
        if (CWatcherUse<CWatcherThermova> thermova{AcquireThermovaWatcher()}) {
            thermova->Detach(this);
            thermova->Stop();
        }
    }
    // Also without a factory: the worker may be making one and must not start
    // the manager after this.
    StopWirelessDeviceMgr();
    return 0;
}

void CTarvoApplication::StartWirelessDeviceMgr() {
    CWirelessDeviceMgr* manager = nullptr;
    {
        CSectionGuard guard(m_csWirelessDeviceMgr);
        if (m_bWirelessDeviceMgrStopped) return;
        manager = m_pWirelessDeviceMgr = CWirelessDeviceMgr::GetInstance();
        m_bWirelessDeviceMgrStarting = true;
    }
    // The end of the start on every way out, an exception included (an
    // allocation failure while the sinks are registered): a stop that came
    // meanwhile left the manager to us, and later stops must not skip it.
    class CStartEnd {
    public:
        CStartEnd(CTarvoApplication& application, CWirelessDeviceMgr* manager)
            : m_application(application), m_manager(manager) {}
        ~CStartEnd() {
            CSectionGuard guard(m_application.m_csWirelessDeviceMgr);
            m_application.m_bWirelessDeviceMgrStarting = false;
            if (!m_application.m_bWirelessDeviceMgrStopped) return;
            m_manager->Detach(&m_application);
            m_manager->Stop();
        }

    private:
        CTarvoApplication& m_application;
        CWirelessDeviceMgr* m_manager;
    } startEnd(*this, manager);
    manager->Attach(this);
    manager->Start();
}

void CTarvoApplication::StopWirelessDeviceMgr() {
    // Held across the manager's Stop: a second stop, or the end of a start,
    // waits for it. A notification under way finishes first (the sinks'
    // Detach waits for it); NotifyChange never takes this lock.
    CSectionGuard guard(m_csWirelessDeviceMgr);
    m_bWirelessDeviceMgrStopped = true;
    if (m_bWirelessDeviceMgrStarting || !m_pWirelessDeviceMgr) return;
    m_pWirelessDeviceMgr->Detach(this);
    m_pWirelessDeviceMgr->Stop();
}

int CTarvoApplication::ApplyInitialState() {
    // The initial state is read once the P-sensor watcher watches: a change
    // from then on is notified, one before it is in this reading.
    if (CWatcherUse<CWatcherPSensor> psensor{AcquirePSensorWatcher()})
        psensor->WaitUntilWatching(kWatcherStartBoundMs);
    MonitorPowerOn();
    CSectionGuard decision(m_csDecision);
    if (IsStopRequested()) return 0;
    CWWANDevice* modem = m_pWWANDeviceObj;
    if (m_pDeviceFactory && modem) {
        int state = 0;
        CWatcherUse<CWatcherPSensor> psensor{AcquirePSensorWatcher()};
        if (psensor && modem->IsReady() != 0) state = psensor->GetState();
        m_decisionRetry.Cancel();
        const bool held = modem->RunTarvoHandler(static_cast<uint8_t>(state & 0xFF)) == 0;
        FollowDecision(held ? DecisionEnd::Held : DecisionEnd::NotHeld, false);
    }
    return 0;
}

void CTarvoApplication::NotifyState(int state) {
    // On whatever thread it comes, the modem's answer is not awaited past the
    // service's stop; and a decision queued behind one that the stop cut short sends nothing.
    CClock::CThreadStopScope stopScope(m_hStopEvent);
    CSectionGuard decision(m_csDecision);
    if (IsStopRequested()) return;
    // The decision of an input replaces a try still waiting for its turn.
    m_decisionRetry.Cancel();
    FollowDecision(Decide(state), false);
}

void CTarvoApplication::RetryDecision() {
    CClock::CThreadStopScope stopScope(m_hStopEvent);
    CSectionGuard decision(m_csDecision);
    if (IsStopRequested() || !m_decisionRetry.TakeDue()) return;
    FollowDecision(Decide(TARVO_NOTIFY_RECHECK), true);
}

void CTarvoApplication::FollowDecision(DecisionEnd end, bool afterTry) {
    if (end == DecisionEnd::NotHeld && !IsStopRequested())
        m_decisionRetry.Schedule(afterTry);
    else
        m_decisionRetry.Cancel();
}

CTarvoApplication::DecisionEnd CTarvoApplication::Decide(int state) {
    if (state == TARVO_NOTIFY_RECHECK) {
        CWatcherUse<CWatcherPSensor> psensor{AcquirePSensorWatcher()};
        state = psensor ? psensor->GetState() : 0;
        // A reading the stop cut short decides nothing.
        if (IsStopRequested()) return DecisionEnd::NotMade;
    }
    CWWANDevice* modem = m_pWWANDeviceObj;
    if (!m_pDeviceFactory || !modem) return DecisionEnd::NotMade;

    int ready = modem->IsReady();
    int expected = s_lastDeviceReady.load();
    if (ready == 0 && expected != 0 && s_lastDeviceReady.compare_exchange_strong(expected, 0)) {
        // The modem stopped being ready: one last off command.
        state = 0;
    } else {
        s_lastDeviceReady = ready;
        if (ready == 0) return DecisionEnd::NotMade;
    }

    if (m_bMonitorOff) {
        state = 0;
    } else if (CWatcherUse<CWatcherThermova> thermova{AcquireThermovaWatcher()}) {
        if (thermova->GetState() == 1) state = 0;
    }
    return modem->RunTarvoHandler(static_cast<uint8_t>(state & 0xFF)) == 0 ? DecisionEnd::Held
                                                                           : DecisionEnd::NotHeld;
}

void CTarvoApplication::NotifyChange() {
    CClock::CThreadStopScope stopScope(m_hStopEvent);
    CSectionGuard decision(m_csDecision);
    if (!m_pDeviceFactory || !m_pWWANDeviceObj) return;
    {
        CWatcherUse<CWatcherPSensor> psensor{AcquirePSensorWatcher()};
        if (!psensor) return;
    }
    // A modem that arrived (reset, enumerated again) or whose radio came on may
    // hold anything: the last state it accepted says nothing of it now, so the
    // decision on the inputs as they are goes out whatever it is.
    MBSar::ForgetTarvoState();
    static_cast<IObsvrPSensor*>(this)->NotifyState(TARVO_NOTIFY_RECHECK);
}

void CTarvoApplication::ResendInitialSar() {
    // One step with the decision after it: no decision of another thread comes
    // between the initial configuration and the one that replaces it.
    CSectionGuard decision(m_csDecision);
    if (IsStopRequested()) return;
    MBSar::InitSAR();
    // The initial configuration disables back-off whatever the inputs call for.
    NotifyState(TARVO_NOTIFY_RECHECK);
}

void CTarvoApplication::MonitorPowerOff() {
    m_bMonitorOff = true;
    LogWrite("CTarvoApplication::MonitorPowerOff", "Monitor Off, send Tarvo Off", 1);
    NotifyState(TARVO_NOTIFY_RECHECK);
}

void CTarvoApplication::MonitorPowerOn() {
    m_bMonitorOff = false;
    LogWrite("CTarvoApplication::MonitorPowerOn", "Monitor On", 1);
    NotifyState(TARVO_NOTIFY_RECHECK);
}

void CTarvoApplication::PostMonitorPower(bool on) {
    m_displayStateThread.Post(on ? CDisplayStateThread::Event::DisplayOn : CDisplayStateThread::Event::DisplayOff);
}

void CTarvoApplication::PostResume() { m_displayStateThread.Post(CDisplayStateThread::Event::Resume); }

void CTarvoApplication::SignalRestart() {
    if (m_pDeviceFactory) ::SetEvent(m_hRestartEvent);
}

void CTarvoApplication::ReleaseRetiredWatchers(bool all) {
    // A replaced watcher stays attached (its observer list is kept) until its
    // thread has ended; only then is it let go, so it never calls a deleted object.
    auto release = [&](auto& list) {
        for (auto it = list.begin(); it != list.end();) {
            if (all || (*it)->IsThreadFinished()) {
                (*it)->Detach(this);
                (*it)->ReleaseReference();
                it = list.erase(it);
            } else {
                ++it;
            }
        }
    };
    release(m_retiredPSensorWatchers);
    release(m_retiredThermovaWatchers);
}

void CTarvoApplication::RestartWatchers() {
    if (!SleepUnlessStopped(10000)) return;
    ReleaseRetiredWatchers(false);

    ReplaceWatcher(m_pPSensorWatcher, m_retiredPSensorWatchers);
    ReplaceWatcher(m_pThermovaWatcher, m_retiredThermovaWatchers);
}

template <typename TWatcher>
void CTarvoApplication::ReplaceWatcher(TWatcher*& field, std::vector<TWatcher*>& retired) {
    {
        CSectionGuard guard(m_csWatchers);
        if (!field) return;
    }
    // What can fail (memory for the retired entry, the new watcher, its
    // observer entry, its start's lines) comes before the swap and leaves the
    // old watcher where it was; after the swap nothing throws, so the old one
    // always ends up retired and is detached in the end.
    retired.reserve(retired.size() + 1);
    TWatcher* replacement = TWatcher::Create();
    class CUnswapped {
    public:
        explicit CUnswapped(TWatcher* watcher, IObsvrPSensor* observer) : m_watcher(watcher), m_observer(observer) {}
        ~CUnswapped() {
            if (!m_watcher) return;
            m_watcher->Detach(m_observer);
            m_watcher->CThread::Stop(false);
            m_watcher->SetAutoDelete();
        }
        void Release() { m_watcher = nullptr; }

    private:
        TWatcher* m_watcher;
        IObsvrPSensor* m_observer;
    } unswapped(replacement, this);
    replacement->Attach(this);
    replacement->Start();

    TWatcher* previous = nullptr;
    {
        CSectionGuard guard(m_csWatchers);
        previous = field;
        field = replacement;
    }
    unswapped.Release();
    // The old one stops and deletes itself when its thread ends; it stays
    // attached, and this object holds a reference to it until then.
    previous->Stop();
    previous->AddReference();
    retired.push_back(previous);
    previous->SetAutoDelete();
}

int CTarvoApplication::GetWWANRadioState() {
    const char* fn = "CTarvoApplication::GetWWANRadioState";
    LogTraceEnter(fn);
    CUniqueHandle device(CSystem::OpenDriverDevice(TARVO_PM_DEVICE_RADIO));
    if (!device) return -1;
    int result = -1;
    try {
        DWORD output = 0;
        if (CSystem::DriverIoControl(device.Get(), TARVO_IOCTL_RADIO, 0x00000, output)) {
            char line[MAX_PATH];
            std::snprintf(line, sizeof(line), "Radio status = 0x%x", static_cast<unsigned>(output));
            LogWrite(fn, line, 1);
            if (output == 0x100) {
                LogWrite(fn, "WWAN Radio is ON", 1);
                result = 1;
            } else if (output == 0x10) {
                LogWrite(fn, "WWAN Radio is OFF", 1);
                result = 0;
            } else {
                LogWrite(fn, "WWAN Radio get failed", 2);
            }
        } else {
            LogWrite(fn,
                     "PM Driver WWAN Radio get failed Error: " + std::to_string(::GetLastError()) + " bResult: 0", 2);
        }
    } catch (const std::exception& e) {
        LogWrite(fn, e.what(), 2);
        result = -1;
    }
    device.Reset();
    LogTraceExit(fn);
    return result;
}

int CTarvoApplication::SetWWANRadioState(int on) {
    const char* fn = "CTarvoApplication::SetWWANRadioState";
    LogTraceEnter(fn);
    CUniqueHandle device(CSystem::OpenDriverDevice(TARVO_PM_DEVICE_RADIO));
    if (!device) return -1;
    int result = -1;
    try {
        DWORD output = 0;
        if (CSystem::DriverIoControl(device.Get(), TARVO_IOCTL_RADIO, on == 1 ? 0x10100 : 0x10010, output)) {
            if (on == 1) {
                LogWrite(fn, "WWAN Radio is set to ON", 1);
                result = 1;
            } else {
                LogWrite(fn, "WWAN Radio is set to OFF", 1);
                result = 0;
            }
        } else {
            LogWrite(fn,
                     "PM Driver WWAN Radio set failed Error: " + std::to_string(::GetLastError()) + " bResult: 0", 2);
        }
    } catch (const std::exception& e) {
        LogWrite(fn, e.what(), 2);
        result = -1;
    }
    device.Reset();
    LogTraceExit(fn);
    return result;
}

int CTarvoApplication::GetWLANTxState() {
    const char* fn = "CTarvoApplication::GetWLANTxState";
    CUniqueHandle device(CSystem::OpenDriverDevice(TARVO_PM_DEVICE_RADIO));
    if (!device) return -1;
    try {
        DWORD output = 0;
        if (!CSystem::DriverIoControl(device.Get(), TARVO_IOCTL_RADIO, 0x20000, output)) return -1;
        if (output == 0x100) {
            LogWrite(fn, "WLAN Tx Power is NORMAL", 1);
            return 1;
        }
        if (output == 0x10) {
            LogWrite(fn, "WLAN Tx Power is REDUCED", 1);
            return 0;
        }
        char line[MAX_PATH];
        std::snprintf(line, sizeof(line), "WLAN Tx Power get failed, ulOut: 0x%.8lX", static_cast<unsigned long>(output));
        LogWrite(fn, line, 2);
        return -1;
    } catch (const std::exception& e) {
        LogWrite(fn, e.what(), 2);
        return -1;
    }
}

int CTarvoApplication::SetWLANTxState(int reduce) {
    const char* fn = "CTarvoApplication::SetWLANTxState";
    CUniqueHandle device(CSystem::OpenDriverDevice(TARVO_PM_DEVICE_RADIO));
    if (!device) return -1;
    try {
        DWORD output = 0;
        if (!CSystem::DriverIoControl(device.Get(), TARVO_IOCTL_RADIO, reduce != 0 ? 0x30010 : 0x30100, output))
            return -1;
        if (output == 0 && reduce == 0) {
            LogWrite(fn, "WLAN Tx Power is NORMAL", 1);
            CHelpers::WriteTarvoState(false, TARVO_SOURCE_WLAN);
            return 1;
        }
        if (output == 0 && reduce == 1) {
            LogWrite(fn, "WLAN Tx Power is REDUCED", 1);
            CHelpers::WriteTarvoState(true, TARVO_SOURCE_WLAN);
            return 0;
        }
        char line[MAX_PATH];
        std::snprintf(line, sizeof(line), "WLAN Tx Power set failed, ulOut: 0x%.8lX", static_cast<unsigned long>(output));
        LogWrite(fn, line, 2);
        return -1;
    } catch (const std::exception& e) {
        LogWrite(fn, e.what(), 2);
        return -1;
    }
}

int CTarvoApplication::WaitNetworkArrival() {
    const char* fn = "CTarvoApplication::WaitNetworkArrival";
    HANDLE arrival = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE present = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    CM_NOTIFY_FILTER filter = {};
    filter.cbSize = sizeof(filter);
    filter.Flags = 0;
    filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
    filter.u.DeviceInterface.ClassGuid = TARVO_GUID_DEVINTERFACE_NET;
    HCMNOTIFICATION notification = nullptr;
    CONFIGRET result = ::CM_Register_Notification(&filter, arrival, &TARVO_PCM_NOTIFY_CALLBACK, &notification);
    if (result != CR_SUCCESS) {
        LogWrite(fn, "CM_Register_Notification failed: " + std::to_string(result), 1);
        ::CloseHandle(arrival);
        ::CloseHandle(present);
        return 1;
    }
    LogWrite(fn, "Waiting for network arrival", 1);
    if (IsNetworkInterfacePresent()) ::SetEvent(present);
    HANDLE both[2] = {arrival, present};
    CClock::WaitMultiple(2, both, TRUE, 5000);
    // The registration stays; the callback may still set its event.
    return 0;
}

bool CTarvoApplication::IsNetworkInterfacePresent() {
    return ::SetupDiGetClassDevsA(&TARVO_GUID_DEVINTERFACE_NET, nullptr, nullptr,
                                  DIGCF_PRESENT | DIGCF_DEVICEINTERFACE) != INVALID_HANDLE_VALUE;
}

DWORD CALLBACK TARVO_PCM_NOTIFY_CALLBACK(HCMNOTIFICATION notify, PVOID context, CM_NOTIFY_ACTION action,
                                         PCM_NOTIFY_EVENT_DATA eventData, DWORD eventDataSize) {
    if (action == CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL) {
        LogWrite("TARVO_PCM_NOTIFY_CALLBACK", "GUID_DEVINTERFACE_NET arrival", 1);
        ::SetEvent(static_cast<HANDLE>(context));
    } else if (action != CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL) {
        LogWrite("TARVO_PCM_NOTIFY_CALLBACK", "Device Arrival unknown action", 1);
    }
    return 0;
}

bool CTarvoApplication::GetSpareFlag() { return m_bSpareFlag; }

void CTarvoApplication::SetSpareFlag(bool flag) { m_bSpareFlag = flag; }
