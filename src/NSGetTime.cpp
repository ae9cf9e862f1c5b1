#include "NSGetTime.h"

#include <sys/time.h>

uint64_t NSGetTime::getTimeOfDay_msec()
{
    struct timeval tv {};
    gettimeofday(&tv, nullptr);
    return toMsec(tv.tv_sec, tv.tv_usec);
}

uint64_t NSGetTime::toMsec(int64_t seconds, int64_t microseconds)
{
    // Whole milliseconds: the fraction is dropped, never rounded up.
    return static_cast<uint64_t>(seconds) * 1000 + static_cast<uint64_t>(microseconds) / 1000;
}
