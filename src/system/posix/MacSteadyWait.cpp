// The steady wait on macOS.
#include "Platform.h"

#include <pthread.h>

#include <ctime>

// Apple's libc++ turns every timed wait of a std::condition_variable into a
// wall-clock deadline. A relative wait of the thread library is measured on
// the system's monotonic clock instead: each round waits what is left until
// the steady deadline.
bool Platform::waitUntil(std::condition_variable& condition, std::unique_lock<std::mutex>& lock,
                         std::chrono::steady_clock::time_point deadline, const std::function<bool()>& done)
{
    while (!done()) {
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) {
            return false;
        }
        const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        struct timespec relative {};
        relative.tv_sec = static_cast<time_t>(nanoseconds / 1000000000);
        relative.tv_nsec = static_cast<long>(nanoseconds % 1000000000);
        pthread_cond_timedwait_relative_np(condition.native_handle(), lock.mutex()->native_handle(), &relative);
    }
    return true;
}
