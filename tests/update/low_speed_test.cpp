#include "update/low_speed.h"

#include <gtest/gtest.h>

namespace qv {
namespace {

TEST(LowSpeedGuard, FailsAWholeWindowBelowTheRateAndJudgesEachWindowAlone) {
    LowSpeedGuard guard(60000, 1024);
    guard.Start(1000);
    EXPECT_TRUE(guard.Arrived(10, 30000));          // slow so far, but the window is not over
    EXPECT_TRUE(guard.Arrived(61430, 61000));       // 61,440 bytes in 60 s: just enough
    EXPECT_TRUE(guard.Arrived(1024 * 59, 120999));  // the next window starts afresh
    EXPECT_FALSE(guard.Arrived(1, 121000));         // 59 KiB in 60 s

    LowSpeedGuard wrapping(1000, 1024);
    wrapping.Start(0xFFFFFF00u);  // the tick count wraps in the middle
    EXPECT_TRUE(wrapping.Arrived(100, 0x00000010u));
    EXPECT_FALSE(wrapping.Arrived(100, 0x00000400u));
}

}  // namespace
}  // namespace qv
