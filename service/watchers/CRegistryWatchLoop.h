// The thread loop the two watchers share: a registry value under a watched key,
// and the watcher's stop, pause and resume events, served in one wait.
#pragma once

#include <windows.h>
#include <functional>

struct WatchLoopTexts {
    const char* functionName;     // of the Run that owns the loop
    const char* loopTurn;         // DEBUG at every turn, before arming; may be null
    const char* armFailed;        // DEBUG when arming fails; may be null
    const char* changeDetected;   // DEBUG after a successful read of a change; may be null
    const char* resumeReset;      // DEBUG on a resume turn
    const char* pauseEntered;     // DEBUG before the paused state; may be null
    const char* pauseFailed;      // ERROR when the paused state ends by stop
};

class CRegistryWatchLoop {
public:
    // Wait order: [0] change event, [1] stop, [2] pause, [3] resume (lowest index served first).
    CRegistryWatchLoop(HKEY key, const char* valueName, HANDLE changeEvent, HANDLE stopEvent, HANDLE pauseEvent,
                       HANDLE resumeEvent);

    // Reads the value as 4 bytes; a longer value is a failed read.
    bool ReadValue(DWORD& value) const;

    // Arms the notification and serves the four handles until a stop, a failure
    // or a failed pause. onChange runs with prev and cur set; cur becomes prev after it.
    void Serve(const WatchLoopTexts& texts, DWORD& prev, DWORD& cur, const std::function<void()>& onChange,
               const std::function<int()>& onPause);

    // The paused state: waits for resume (1) or stop (0); a failed wait logs and goes on (1).
    static int WaitWhilePaused(const char* functionName, HANDLE pauseEvent, HANDLE resumeEvent, HANDLE stopEvent);

private:
    HKEY m_hKey;
    const char* m_pszValueName;
    HANDLE m_handles[4];
};
