// The back-off policy: owns the platform factory, the modem object, the two
// watchers and the wireless notification manager, brings the modem up on its
// worker thread and decides the Tarvo state on whatever thread an event comes.
#pragma once

#include "CDecisionRetry.h"
#include "CDisplayStateThread.h"
#include "CThread.h"
#include "IObsvrPSensor.h"
#include "IObsvrWlanAndMbnNotification.h"

#include <windows.h>
#include <cfgmgr32.h>
#include <atomic>
#include <string>
#include <vector>

class CTarvoDeviceFactory;
class CWWANDevice;
class CWatcherPSensor;
class CWatcherThermova;
class CWirelessDeviceMgr;

class CTarvoApplication : public IObsvrPSensor, public IObsvrWlanAndMbnNotification, public CThread {
public:
    CTarvoApplication();
    ~CTarvoApplication() override;

    void NotifyState(int state) override;
    void NotifyChange() override;
    DWORD Run(void* param) override;

    void Start();
    void Stop();
    void MonitorPowerOn();
    void MonitorPowerOff();
    // The control handler's display state: carried out by MonitorPowerOn or
    // MonitorPowerOff on a thread of this object, never on the caller's.
    void PostMonitorPower(bool on);
    // The control handler's resume from suspend: the radio switched on
    // (SetWWANRadioState(1)), then SignalRestart, on the thread that carries
    // the display states, in their order; a driver that holds the switch holds
    // neither the handler nor the display states past the request's bound.
    void PostResume();
    // Waits at most ms for the worker thread's end; true when it has ended or never started.
    bool WaitForWorkerEnd(DWORD ms);
    void SignalRestart();
    void RestartWatchers();
    // After a resume: the initial SAR configuration again, then the state the
    // inputs call for in its place.
    void ResendInitialSar();
    int AttachWatchers();
    int DetachWatchers();
    int ApplyInitialState();
    CTarvoDeviceFactory* CreateDeviceSpecificFactory();

    int GetWWANRadioState();
    int SetWWANRadioState(int on);
    int GetWLANTxState();
    int SetWLANTxState(int reduce);

    int WaitNetworkArrival();
    bool IsNetworkInterfacePresent();

    bool GetSpareFlag();
    void SetSpareFlag(bool flag);

    // The readiness that NotifyState last saw (0 at process start).
    static int GetLastDeviceReady();
    static void SetLastDeviceReady(int ready);

protected:
    std::atomic<CTarvoDeviceFactory*> m_pDeviceFactory;
    std::atomic<CWWANDevice*> m_pWWANDeviceObj;
    CWatcherPSensor* m_pPSensorWatcher;
    CWatcherThermova* m_pThermovaWatcher;
    CWirelessDeviceMgr* m_pWirelessDeviceMgr;
    std::atomic<bool> m_bMonitorOff;
    bool m_bSpareFlag;
    HANDLE m_hRestartEvent;
    // Tries a decision again whose command did not hold.
    CDecisionRetry m_decisionRetry;

private:
    // A watcher taken under m_csWatchers with a reference of the caller's own,
    // so a restart or a watcher's self-deletion cannot free it while in use.
    CWatcherPSensor* AcquirePSensorWatcher();
    CWatcherThermova* AcquireThermovaWatcher();
    // The worker's sleeps end early when the service stops; false then.
    bool SleepUnlessStopped(DWORD ms);
    void ReleaseRetiredWatchers(bool all);
    // What one decision came to: its command held (accepted, or nothing to
    // change), did not hold (refused, busy, unanswered, failed, cut short, the
    // radio off, the sensor unread), or no decision was made (no modem, not
    // ready, the stop).
    enum class DecisionEnd { Held, NotHeld, NotMade };
    // NotifyState's decision, under m_csDecision.
    DecisionEnd Decide(int state);
    // After a decision: a command that did not hold is tried again by itself.
    void FollowDecision(DecisionEnd end, bool afterTry);
    // The retry thread's turn: the decision again, from the inputs as they are.
    void RetryDecision();
    // RestartWatchers' step for one watcher: a new object in its place, the old one retired.
    template <typename TWatcher>
    void ReplaceWatcher(TWatcher*& field, std::vector<TWatcher*>& retired);
    // The wireless notification manager's part of AttachWatchers and DetachWatchers.
    void StartWirelessDeviceMgr();
    void StopWirelessDeviceMgr();

    // Held for a whole back-off decision and the command it sends: the inputs
    // are read and the modem told in one step, so whatever order the sources
    // change in on their threads, the last command is decided on the inputs
    // last seen. Recursive (NotifyChange decides through NotifyState). Every
    // wait under it is bounded and ends at the stop: the driver's readings
    // (CDriverRequest), the modem's commands; m_csWatchers is only ever held
    // for a pointer.
    CRITICAL_SECTION m_csDecision;
    CDisplayStateThread m_displayStateThread;

    CRITICAL_SECTION m_csWatchers;
    // Watchers replaced by RestartWatchers, still attached to this object until their threads end.
    std::vector<CWatcherPSensor*> m_retiredPSensorWatchers;
    std::vector<CWatcherThermova*> m_retiredThermovaWatchers;

    // Guards m_pWirelessDeviceMgr and the two flags below. The worker starts
    // the manager while the service may stop it: the manager's Start and Stop
    // never run at the same time, and after a stop it is not started again.
    // Never held while the manager starts (a stop does not wait for that).
    CRITICAL_SECTION m_csWirelessDeviceMgr;
    bool m_bWirelessDeviceMgrStarting;
    bool m_bWirelessDeviceMgrStopped;
};

DWORD CALLBACK TARVO_PCM_NOTIFY_CALLBACK(HCMNOTIFICATION notify, PVOID context, CM_NOTIFY_ACTION action,
                                         PCM_NOTIFY_EVENT_DATA eventData, DWORD eventDataSize);
