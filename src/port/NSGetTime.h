// The millisecond clock on which every wait and timeout of the protocol runs.
#pragma once

#include <cstdint>

class NSGetTime {
public:
    // Milliseconds on a monotonic clock (from an arbitrary start, fraction
    // dropped): setting the wall clock during a job moves no deadline.
    static uint64_t getTimeOfDay_msec();
    // The conversion itself: seconds and microseconds to whole milliseconds.
    static uint64_t toMsec(int64_t seconds, int64_t microseconds);
};
