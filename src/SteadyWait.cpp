#include "SteadyWait.h"

// The C++ libraries of Linux and Windows wait for a steady deadline on a
// monotonic clock (glibc's pthread_cond_clockwait; a relative wait on Windows).
bool SteadyWait::until(std::condition_variable& condition, std::unique_lock<std::mutex>& lock,
                       std::chrono::steady_clock::time_point deadline, const std::function<bool()>& done)
{
    return condition.wait_until(lock, deadline, done);
}
