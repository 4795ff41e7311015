// The pause between status queries and the clock that the time-outs run on.
#include <gtest/gtest.h>

#include "CClock.h"
#include "CPXService.h"

TEST(PXServiceWaitingStep, IsATenthOfTheWaitHintWithinOneToTenSeconds) {
    struct Row {
        DWORD waitHint;
        DWORD step;
    };
    const Row rows[] = {
        {50000, 5000}, {3000, 1000}, {200000, 10000}, {0, 1000},
        {10009, 1000}, {10010, 1001}, {99999, 9999},  {100010, 10000}, {0xFFFFFFFF, 10000},
    };
    for (const Row& row : rows) EXPECT_EQ(CPXService::WaitingStep(row.waitHint), row.step) << row.waitHint;
}

TEST(PXServiceClock, TickCountRunsOnTheScaleOfTheSleeps) {
    CClock::SetDivisor(1000);
    ULONGLONG before = CClock::TickCount64();
    CClock::Sleep(30000);  // 30 ms for real
    ULONGLONG elapsed = CClock::TickCount64() - before;
    CClock::SetDivisor(1);
    EXPECT_GE(elapsed, 15000u);  // the tick may advance in steps of up to 16 ms
    EXPECT_LT(elapsed, 2000000u);
}
