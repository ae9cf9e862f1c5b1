// The steady wait on Linux.
#include "Platform.h"

// Linux's C++ library waits for a steady deadline on a monotonic clock
// (glibc's pthread_cond_clockwait).
bool Platform::waitUntil(std::condition_variable& condition, std::unique_lock<std::mutex>& lock,
                         std::chrono::steady_clock::time_point deadline, const std::function<bool()>& done)
{
    return condition.wait_until(lock, deadline, done);
}
