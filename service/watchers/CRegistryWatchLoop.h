// The thread loop the two watchers share: a registry value under a watched key,
// and the watcher's stop, pause and resume events, served in one wait.
//
// The notification is armed again before the value is read, never after: a
// change made while the previous one is carried out (the observers wait for
// the modem) then signals the change event and is read at the next turn,
// against the value last handled. Several such changes are seen as their net
// change. The change event is reset only right before an arming, so no turn
// throws away a notification that came after the last read.
#pragma once

#include <windows.h>
#include <functional>

struct WatchLoopTexts {
    const char* functionName;     // of the Run that owns the loop
    const char* loopTurn;         // DEBUG at every turn, before the wait; may be null
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

    // Resets the change event and asks for the next change under the key. The
    // owner arms before its first read of the value, so nothing falls between.
    bool Arm();

    // Reads the value as 4 bytes; a longer value is a failed read.
    bool ReadValue(DWORD& value) const;

    // Serves the four handles until a stop, a failure or a failed pause; armed
    // is the result of the owner's Arm before its first read. onChange runs with
    // prev and cur set; cur becomes prev after it.
    void Serve(const WatchLoopTexts& texts, bool armed, DWORD& prev, DWORD& cur, const std::function<void()>& onChange,
               const std::function<int()>& onPause);

    // The paused state: waits for resume (1) or stop (0); a failed wait logs and goes on (1).
    static int WaitWhilePaused(const char* functionName, HANDLE pauseEvent, HANDLE resumeEvent, HANDLE stopEvent);

private:
    HKEY m_hKey;
    const char* m_pszValueName;
    HANDLE m_handles[4];
};
