#include "CWatcherThermova.h"

#include "CClock.h"
#include "CHelpers.h"
#include "CRegistryWatchLoop.h"
#include "CSystem.h"
#include "Handles.h"
#include "Logger.h"

#include <cstdio>
#include <exception>
#include <string>

namespace {
const char kNotificationKey[] = "SYSTEM\\CurrentControlSet\\Services\\DIVAVUZIR\\Parameters2\\Type20\\Notification";
const DWORD kBit7 = 0x80;
const DWORD kStartupHoldMs = 90000;
}  // namespace

CWatcherThermova* CWatcherThermova::Create() { return new CWatcherThermova(); }

CWatcherThermova::CWatcherThermova()
    : m_dwPrevNotificationValue(0), m_dwCurrentNotificationValue(0), m_bStartupHold(false) {}

CWatcherThermova::~CWatcherThermova() { WaitForThreadEnd(); }

void CWatcherThermova::Start() {
    if (IsRunning()) return;
    if (StartThread() == 0) SetRunning(true);
}

void CWatcherThermova::StopWait(bool wait) { StopThread(wait); }

void CWatcherThermova::Stop() { StopThread(false); }

void CWatcherThermova::Resume() { ResumeThread(); }

void CWatcherThermova::Pause() { PauseThread(); }

void CWatcherThermova::OnThreadExit() { ThreadExited(); }

DWORD CWatcherThermova::Run(void* param) {
    const char* fn = "CWatcherThermova::Run";
    // As the hold, this thread's own driver requests end with the process, not
    // at this watcher's stop; its decisions install the service's stop.
    CClock::CThreadStopScope processEnd(CClock::ProcessEndEvent());
    DWORD result = 0;
    try {
        CSystem system;
        LogWrite(fn, "CwatcherThermova Entry", 1);
        if (!system.HasThermova()) {
            LogWrite(fn, "ThermovaWatcher thread cannot be started. System has no Thermova installed.", 2);
            result = 1;
        } else {
            CUniqueHKey key;
            if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kNotificationKey, 0, KEY_READ, key.Put()) != ERROR_SUCCESS) {
                LogWrite(fn, "Thermova registry access FAIL", 1);
            } else {
                LogWrite(fn, "If retOpen ==ERROR_SUECCESS", 1);
                CUniqueHandle changeEvent(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
                if (changeEvent && m_hStopEvent && m_hPauseEvent && m_hResumeEvent) {
                    LogWrite(fn, "hEvents&&123", 1);
                    // The start-up hold: unstable for 90 s, events not watched meanwhile.
                    m_bStartupHold = true;
                    NotifyRecheck();
                    // The stop is not watched here, the process's end is: the
                    // thread must not wake into what the runtime destroys at exit.
                    const bool held = CClock::SleepUnlessProcessEnding(kStartupHoldMs);
                    m_bStartupHold = false;
                    // Stopped meanwhile (replaced at a resume): the current watcher
                    // decides, this one asks nothing and leaves.
                    if (held && !IsStopRequested()) {
                        // Watched before the end of the hold is told: a change of the
                        // mode while that decision's command is on its way is served
                        // after it. One during the hold is taken in without a decision;
                        // the end-of-hold reading covers it.
                        LogWrite(fn, "retOpen Com Entry", 1);
                        CRegistryWatchLoop loop(key.Get(), "Type22", changeEvent.Get(), m_hStopEvent, m_hPauseEvent,
                                                m_hResumeEvent);
                        const bool armed = loop.Arm();
                        if (loop.ReadValue(m_dwPrevNotificationValue)) LogWrite(fn, "retOpen == ERROR_SUCCESS", 1);
                        if (GetState() == 1) NotifyClear();
                        WatchLoopTexts texts = {fn,
                                                "Entry Do loop",
                                                "retOpen != ERROR_SUCCESS",
                                                "ThermovaWatcher thread Thermova Event Detected.",
                                                "ThermovaWatcher thread Reset Resume Event.",
                                                "ThermovaWatcher thread Handle Pause Event.",
                                                "PThermovaWatcher thread Handle Pause Event failed."};
                        loop.Serve(texts, armed, m_dwPrevNotificationValue, m_dwCurrentNotificationValue,
                                   [this] { HandleThermovaNotificationEvent(); }, [this] { return HandlePauseEvent(); });
                    }
                }
            }
        }
    } catch (const std::exception& e) {
        LogWrite(fn, e.what(), 2);
        result = 1;
    }
    LogWrite(fn, "CwatcherThermova Exit", 1);
    return result;
}

void CWatcherThermova::HandleThermovaNotificationEvent() {
    const char* fn = "CWatcherThermova::HandleThermovaNotificationEvent";
    if (((m_dwPrevNotificationValue ^ m_dwCurrentNotificationValue) & kBit7) == 0) {
        LogWrite(fn, "Thermova detects Unknown change.", 1);
        return;
    }
    LogWrite(fn, "Thermova detects the status change.\n", 1);
    if (GetState() == 0) {
        NotifyRecheck();
        RecordState(true);
    } else {
        // Stable, or the driver gave no answer: no back-off demand.
        NotifyClear();
        RecordState(false);
    }
}

int CWatcherThermova::HandlePauseEvent() {
    return CRegistryWatchLoop::WaitWhilePaused("CWatcherThermova::HandlePauseEvent", m_hPauseEvent, m_hResumeEvent,
                                               m_hStopEvent);
}

void CWatcherThermova::NotifyClear() { NotifyObservers(TARVO_NOTIFY_CLEAR); }

void CWatcherThermova::NotifyRecheck() { NotifyObservers(TARVO_NOTIFY_RECHECK); }

void CWatcherThermova::NotifyObservers(int code) {
    // A stopped watcher (replaced at a resume, or at the service's stop) decides
    // nothing, also when its start-up hold ends after the stop.
    ForEachObserver([&](IObsvrPSensor* observer) {
        if (!IsStopRequested()) observer->NotifyState(code);
    });
}

void CWatcherThermova::RecordState(bool on) {
    if (!IsStopRequested()) CHelpers::WriteTarvoState(on, TARVO_SOURCE_THERMOVA);
}

int CWatcherThermova::GetState() {
    if (m_bStartupHold) return 0;
    int result = -1;
    CUniqueHandle device;
    try {
        device.Reset(CSystem::OpenDriverDevice(TARVO_PM_DEVICE_SENSORS));
        if (!device) return -1;
        DWORD output = 0;
        BOOL ok = CSystem::DriverIoControl(device.Get(), TARVO_IOCTL_THERMOVA, 2, output);
        char line[32];
        std::snprintf(line, sizeof(line), "ulOut: 0x%.8X ", static_cast<unsigned>(output));
        LogWrite("CWatcherThermova::GetState", line, 1);
        if (ok) {
            if (output & 0x20000) {
                result = 0;
                LogWrite("CWatcherThermova::GetState", "Thermova State is Unstable", 1);
            } else {
                result = 1;
                LogWrite("CWatcherThermova::GetState", "Thermova State is Stable", 1);
            }
        }
    } catch (const std::exception& e) {
        LogWrite("CWatcherThermova::GetState", e.what(), 2);
        result = -1;
    }
    return result;
}
