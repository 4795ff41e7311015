// Watches "Type22", where the power-management service signals Thermova
// changes; the driver tells stable (observers get 0) from unstable (2).
#pragma once

#include "CThread.h"
#include "CWatchService.h"
#include "CWatcherLifetime.h"
#include "IObsvrPSensor.h"

#include <windows.h>
#include <atomic>

class CWatcherThermova final : public CWatchService<IObsvrPSensor>,
                         public CThread,
                         public CWatcherLifetime<CWatcherThermova> {
public:
    static CWatcherThermova* Create();
    CWatcherThermova();
    ~CWatcherThermova();

    void Start() override;
    void StopWait(bool wait) override;
    void Stop() override;
    void Resume();
    void Pause();
    // 1 stable, 0 unstable (also during the start-up hold), -1 not available.
    int GetState();

    DWORD Run(void* param) override;
    void OnThreadExit() override;
    void HandleThermovaNotificationEvent();
    int HandlePauseEvent();
    void NotifyClear();
    void NotifyRecheck();

    DWORD m_dwPrevNotificationValue;
    DWORD m_dwCurrentNotificationValue;
    std::atomic<bool> m_bStartupHold;

private:
    // What a running watcher tells and records; a stopped one does neither.
    void NotifyObservers(int code);
    void RecordState(bool on);
};
