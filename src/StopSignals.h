// Turns SIGINT, SIGTERM and SIGHUP during a job into an orderly stop: the first
// one asks the job to stop, so that it ends at its next wait and its end steps
// still run; a second one ends the process at once with the given last words
// on standard error and exit status 1.
//
// Made before any other thread starts: the signals are blocked in every thread
// and taken by a thread of its own, outside any signal handler.
#pragma once

#include <signal.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

class StopSignals {
public:
    StopSignals(std::function<void()> stop, std::string strLastWords);
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;
    // Stops watching and lets the signals act as before.
    ~StopSignals();

private:
    void watch();

    std::function<void()> m_stop;
    std::string m_strLastWords;
    sigset_t m_signals{};
    sigset_t m_previousMask{};
    std::atomic<bool> m_fDone{false};
    std::thread m_watcher;
};
