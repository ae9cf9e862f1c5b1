#include "NSGetTime.h"

#include <gtest/gtest.h>

#include <chrono>

TEST(NSGetTime, DropsTheFractionOfAMillisecond)
{
    EXPECT_EQ(NSGetTime::toMsec(1700000000, 999999), 1700000000999u) << "999.999 ms must not round up";
    EXPECT_EQ(NSGetTime::toMsec(1700000000, 999), 1700000000000u);
    EXPECT_EQ(NSGetTime::toMsec(1700000000, 1000), 1700000000001u);
}

TEST(NSGetTime, ReadsTheWallClockSinceTheEpoch)
{
    auto nowMsec = [] {
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::system_clock::now().time_since_epoch())
                                         .count());
    };
    uint64_t before = nowMsec();
    uint64_t reading = NSGetTime::getTimeOfDay_msec();
    uint64_t after = nowMsec();
    EXPECT_LE(before, reading);
    EXPECT_LE(reading, after);
}
