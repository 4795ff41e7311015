// The simulator's link to tests in other processes: a thread of its own that
// waits on the control key (RegNotifyChangeKeyValue) and applies each change
// written there, in the order of the value names, deleting it once applied;
// and the status mirror, rewritten on the same thread after state changes.
// Only a simulator started from a registry start state ("remote") listens, and
// only the one whose process id the status holds, so an in-process test or a
// stale process never takes another's changes.
#pragma once

#include "Handles.h"
#include "SimRegistryLayout.h"

#include <windows.h>
#include <atomic>
#include <functional>
#include <mutex>

class CSimRegistry {
public:
    using ApplyFn = std::function<bool(const std::wstring& text)>;
    using SnapshotFn = std::function<simreg::Status()>;

    CSimRegistry(ApplyFn apply, SnapshotFn snapshot);
    CSimRegistry(const CSimRegistry&) = delete;
    CSimRegistry& operator=(const CSimRegistry&) = delete;

    // Claims the control key for this process, writes the first status and starts the thread.
    void StartRemote();
    void StopRemote() { m_remote = false; }
    bool IsRemote() const { return m_remote; }
    // Asks for the status to be rewritten.
    void MarkDirty();

private:
    void Run();
    void ApplyPending(HKEY control);
    void WriteStatus();

    ApplyFn m_apply;
    SnapshotFn m_snapshot;
    std::atomic<bool> m_remote{false};
    std::atomic<bool> m_started{false};
    CUniqueHandle m_dirty;
    std::mutex m_statusLock;  // the counters below and the status writes
    uint32_t m_applied = 0;
    uint32_t m_rejected = 0;
    std::wstring m_lastRejected;
};
