// Tries a back-off decision again, by itself, when the modem did not take the
// command of the last one (refused, busy, never answered, failed, cut short, or
// not sent because the radio was off): the modem must hold what the inputs
// call for, and the next input change may be hours away.
//
// The pause before each try grows (1 s, doubling, at most 60 s); a decision of
// any input replaces the pending try and starts the count again; after
// kMaxTries tries without success it waits for the next input. The tries run
// on a thread of their own, whose pause ends at once at the stop.
#pragma once

#include "CServingThread.h"

#include <windows.h>
#include <functional>

class CDecisionRetry : public CServingThread {
public:
    using Handler = std::function<void()>;
    static const int kMaxTries = 8;

    // The pause before the try of that number (1 for the first), clock milliseconds.
    static DWORD DelayBeforeTry(int tryNumber);

    // handler makes the try once one is due; it asks TakeDue first.
    explicit CDecisionRetry(Handler handler);
    ~CDecisionRetry();

    // Under the decision lock, once a decision's command did not hold. After a
    // decision of an input the count starts again; after a try it goes on.
    void Schedule(bool afterTry);
    // Under the decision lock, once a decision held or an input decides: no try is pending.
    void Cancel();
    // Under the decision lock: true when a try is due now (and takes it), false
    // when none is, because an input decided meanwhile or the stop came.
    bool TakeDue();
    // Whether a try waits for its turn.
    bool IsPending();

    DWORD Run(void* param) override;

private:
    void DropPendingLocked() override;

    Handler m_handler;
    bool m_bPending;         // m_hWork is set when the schedule changes
    ULONGLONG m_ullDueTick;  // on the clock's scale (CClock::TickCount64)
    int m_nTries;            // tries scheduled since the last decision of an input
};
