// Watches "Type2", where the power-management service publishes the P-sensor,
// and tells its observers of proximity (1) and away (0).
#pragma once

#include "CThread.h"
#include "CWatchService.h"
#include "CWatcherLifetime.h"
#include "IObsvrPSensor.h"

#include <windows.h>

class CWatcherPSensor final : public CWatchService<IObsvrPSensor>,
                        public CThread,
                        public CWatcherLifetime<CWatcherPSensor> {
public:
    static CWatcherPSensor* Create();
    CWatcherPSensor();
    ~CWatcherPSensor();

    void Start() override;
    void StopWait(bool wait) override;
    void Stop() override;
    void Resume();
    void Pause();
    // 1 detection on, 0 off, -1 not available.
    int GetState();
    // Waits until the thread watches "Type2" (notification armed and the value
    // read) or has ended: at most boundMs of the clock, never past the calling
    // thread's stop. True when it watches or has ended; false at once when its
    // thread was never started.
    bool WaitUntilWatching(DWORD boundMs);

    DWORD Run(void* param) override;
    void OnThreadExit() override;
    void HandlePSensorNotificationEvent();
    int HandlePauseEvent();
    void NotifyProximity();
    void NotifyClear();

    DWORD m_dwPrevNotificationValue;
    DWORD m_dwCurrentNotificationValue;

private:
    // What a running watcher tells and records; a stopped one does neither.
    void NotifyObservers(int code);
    void RecordState(bool on);

    // What the observers were last told (1 near, 0 away, -1 nothing yet): a
    // toggle of the Nuvik rule reads against it.
    int m_nLastNotifiedState;
    HANDLE m_hWatching;  // manual-reset; set once watching, or when Run ends
};
