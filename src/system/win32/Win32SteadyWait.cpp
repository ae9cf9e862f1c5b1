// The steady wait on Windows.
#include "Platform.h"

#include <pthread.h>

#include <algorithm>

// The threads library under the C++ library's waits on Windows (winpthreads)
// rounds each timed wait up to whole milliseconds, so that a pause of 1 ms and
// a bit lasts 2 ms. Waits of whole milliseconds, at least one, rounded down,
// end just past such a deadline instead. They are relative waits, which no
// step of the wall clock stretches.
bool Platform::waitUntil(std::condition_variable& condition, std::unique_lock<std::mutex>& lock,
                         std::chrono::steady_clock::time_point deadline, const std::function<bool()>& done)
{
    using namespace std::chrono;
    for (auto now = steady_clock::now(); !done(); now = steady_clock::now()) {
        if (now >= deadline) {
            return false;
        }
        const nanoseconds wait = std::max<nanoseconds>(1ms, floor<milliseconds>(deadline - now));
        const timespec relative{static_cast<time_t>(wait.count() / 1000000000),
                                static_cast<long>(wait.count() % 1000000000)};
        pthread_cond_timedwait_relative_np(condition.native_handle(), lock.mutex()->native_handle(), &relative);
    }
    return true;
}
