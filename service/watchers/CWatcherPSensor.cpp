#include "CWatcherPSensor.h"

#include "CClock.h"
#include "CHelpers.h"
#include "CRegistryWatchLoop.h"
#include "CSystem.h"
#include "Handles.h"
#include "Logger.h"
#include "PSensorRule.h"
#include "PlatformFlags.h"

#include <cstdio>
#include <exception>
#include <string>

namespace {
const char kNotificationKey[] = "SYSTEM\\CurrentControlSet\\Services\\DIVAVUZIR\\Parameters\\Notification";

std::string ValueLine(const char* label, DWORD value) {
    char buffer[64];
    std::snprintf(buffer, sizeof(buffer), "%s0x%2x", label, static_cast<unsigned>(value));
    return buffer;
}
}  // namespace

CWatcherPSensor* CWatcherPSensor::Create() { return new CWatcherPSensor(); }

CWatcherPSensor::CWatcherPSensor()
    : m_dwPrevNotificationValue(0),
      m_dwCurrentNotificationValue(0),
      m_nLastNotifiedState(-1),
      m_hWatching(::CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

CWatcherPSensor::~CWatcherPSensor() {
    WaitForThreadEnd();
    if (m_hWatching) ::CloseHandle(m_hWatching);
}

bool CWatcherPSensor::WaitUntilWatching(DWORD boundMs) {
    // A watcher never started has no thread to wait for.
    if (GetThreadHandle() == nullptr) return false;
    return m_hWatching && CClock::WaitUnlessStopped(m_hWatching, boundMs) == CClock::WaitEnd::Signalled;
}

void CWatcherPSensor::Start() {
    LogWrite("CWatcherPSensor::Start", "PSensorWatcherobj->Start()", 0);
    if (IsRunning()) return;
    if (StartThread() == 0) {
        LogWrite("CWatcherPSensor::Start", "CWatcherPSensor running", 0);
        SetRunning(true);
    }
}

void CWatcherPSensor::StopWait(bool wait) { StopThread(wait); }

void CWatcherPSensor::Stop() { StopThread(false); }

void CWatcherPSensor::Resume() { ResumeThread(); }

void CWatcherPSensor::Pause() { PauseThread(); }

void CWatcherPSensor::OnThreadExit() { ThreadExited(); }

DWORD CWatcherPSensor::Run(void* param) {
    // This thread's own driver requests (the presence probe, a reading for a
    // change) end with the process; its decisions install the service's stop.
    CClock::CThreadStopScope processEnd(CClock::ProcessEndEvent());
    DWORD result = 0;
    try {
        CSystem system;
        if (!system.HasPSensor()) {
            LogWrite("CWatcherPSensor::Run",
                     "PSensorWatcher thread cannot be started. System has no PSensor installed.", 2);
            result = 1;
        } else {
            LogWrite("CWatcherPSensor::Run", " cSystemInfoObj.HasPSensor() ", 0);
            CUniqueHKey key;
            if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kNotificationKey, 0, KEY_READ, key.Put()) == ERROR_SUCCESS) {
                CUniqueHandle changeEvent(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
                if (changeEvent && m_hStopEvent && m_hPauseEvent && m_hResumeEvent) {
                    CRegistryWatchLoop loop(key.Get(), "Type2", changeEvent.Get(), m_hStopEvent, m_hPauseEvent,
                                            m_hResumeEvent);
                    const bool armed = loop.Arm();
                    loop.ReadValue(m_dwPrevNotificationValue);
                    // From here on every change is notified; one before this is in the value read.
                    ::SetEvent(m_hWatching);
                    WatchLoopTexts texts = {"CWatcherPSensor::Run",
                                            nullptr,
                                            nullptr,
                                            nullptr,
                                            "PSensorWatcher thread Reset Resume Event.",
                                            nullptr,
                                            "PSensorWatcher thread Handle Pause Event failed."};
                    loop.Serve(texts, armed, m_dwPrevNotificationValue, m_dwCurrentNotificationValue,
                               [this] { HandlePSensorNotificationEvent(); }, [this] { return HandlePauseEvent(); });
                }
            }
        }
    } catch (const std::exception& e) {
        LogWrite("CWatcherPSensor::Run", e.what(), 2);
        result = 1;
    }
    LogWrite("CWatcherPSensor::Run", "CWatcherPSensor Exit", 1);
    ::SetEvent(m_hWatching);
    return result;
}

void CWatcherPSensor::HandlePSensorNotificationEvent() {
    const char* fn = "CWatcherPSensor::HandlePSensorNotificationEvent";
    LogWrite(fn, "HandlePSensorNotificationEvent", 1);
    LogWrite(fn, ValueLine("------m_dwPrevNotificationValue => ", m_dwPrevNotificationValue), 0);
    LogWrite(fn, ValueLine("------m_dwCurrentNotificationValue => ", m_dwCurrentNotificationValue), 0);

    const PSensorOutcome outcome =
        ClassifyPSensorChange(PSensorRuleOf(g_strWWANDeviceName), m_dwPrevNotificationValue,
                              m_dwCurrentNotificationValue, m_nLastNotifiedState, [this] { return GetState(); });
    switch (outcome) {
    case PSensorOutcome::Proximity:
        LogWrite(fn, "P-Sensor detects the proximity of object.\n", 1);
        m_nLastNotifiedState = 1;
        NotifyProximity();
        RecordState(true);
        break;
    case PSensorOutcome::Away:
        LogWrite(fn, "P-Sensor detects that object gets out from sensing area.\n", 1);
        m_nLastNotifiedState = 0;
        NotifyClear();
        RecordState(false);
        break;
    case PSensorOutcome::Unknown:
        LogWrite(fn, "P-Sensor detects Unknown change.", 1);
        break;
    case PSensorOutcome::Ignored:
        LogWrite(fn, "No WWAN card detected, p-sensor event ignored!", 1);
        break;
    }
}

int CWatcherPSensor::HandlePauseEvent() {
    return CRegistryWatchLoop::WaitWhilePaused("CWatcherPSensor::HandlePauseEvent", m_hPauseEvent, m_hResumeEvent,
                                               m_hStopEvent);
}

void CWatcherPSensor::NotifyProximity() { NotifyObservers(TARVO_NOTIFY_PROXIMITY); }

void CWatcherPSensor::NotifyClear() { NotifyObservers(TARVO_NOTIFY_CLEAR); }

void CWatcherPSensor::NotifyObservers(int code) {
    // A stopped watcher (replaced at a resume, or at the service's stop) decides nothing.
    ForEachObserver([&](IObsvrPSensor* observer) {
        if (!IsStopRequested()) observer->NotifyState(code);
    });
}

void CWatcherPSensor::RecordState(bool on) {
    if (!IsStopRequested()) CHelpers::WriteTarvoState(on, TARVO_SOURCE_PSENSOR);
}

int CWatcherPSensor::GetState() {
    int result = -1;
    try {
        // A device that does not open and a request that fails both leave -1, with no line.
        DWORD output = 0;
        if (CSystem::DriverRequest(TARVO_PM_DEVICE_SENSORS, TARVO_IOCTL_PSENSOR, 0, output)) {
            if (output & 0x2) {
                result = 1;
                LogWrite("CWatcherPSensor::GetState", "PSENSOR Detection State is ON", 1);
            } else {
                result = 0;
                LogWrite("CWatcherPSensor::GetState", "PSENSOR Detection State is OFF", 1);
            }
        }
    } catch (const std::exception& e) {
        LogWrite("CWatcherPSensor::GetState", e.what(), 2);
        result = -1;
    }
    return result;
}
