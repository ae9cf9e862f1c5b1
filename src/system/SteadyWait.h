// A condition variable's timed wait on the steady clock, which no step of the
// wall clock can stretch. Each system's C++ library keeps its own promise
// here: where its wait_until turns a steady deadline into a wall-clock one
// (Apple's), the wait is made another way.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace SteadyWait {

// Waits under lock until done() holds or the deadline has passed; returns done().
bool until(std::condition_variable& condition, std::unique_lock<std::mutex>& lock,
           std::chrono::steady_clock::time_point deadline, const std::function<bool()>& done);

}  // namespace SteadyWait
