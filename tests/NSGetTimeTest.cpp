#include "NSGetTime.h"

#include <gtest/gtest.h>

TEST(NSGetTime, DropsTheFractionOfAMillisecond)
{
    EXPECT_EQ(NSGetTime::toMsec(1700000000, 999999), 1700000000999u) << "999.999 ms must not round up";
    EXPECT_EQ(NSGetTime::toMsec(1700000000, 1000), 1700000000001u);
}
