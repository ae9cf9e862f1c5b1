#include "NSGetTime.h"

#include <time.h>

uint64_t NSGetTime::getTimeOfDay_msec()
{
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return toMsec(ts.tv_sec, ts.tv_nsec / 1000);
}

uint64_t NSGetTime::toMsec(int64_t seconds, int64_t microseconds)
{
    // Whole milliseconds: the fraction is dropped, never rounded up.
    return static_cast<uint64_t>(seconds) * 1000 + static_cast<uint64_t>(microseconds) / 1000;
}
