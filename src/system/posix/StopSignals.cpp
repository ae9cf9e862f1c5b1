// The signals are blocked in every thread and taken by a thread of its own.
#include "StopSignals.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <cstdio>
#include <thread>
#include <utility>

namespace {

struct StopSignal {
    int iSignal;
    const char* pszName;
};
constexpr StopSignal STOP_SIGNALS[] = {{SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}};

}  // namespace

struct StopSignals::Watch {
    Watch(std::function<void(const char*)> stop, void (*pfnPutBack)(), std::string strLastWords)
        : m_stop(std::move(stop)), m_pfnPutBack(pfnPutBack), m_strLastWords(std::move(strLastWords))
    {
    }
    void watch();
    [[noreturn]] void endAtOnce();

    std::function<void(const char*)> m_stop;
    void (*m_pfnPutBack)();
    std::string m_strLastWords;
    sigset_t m_signals{};
    std::atomic<bool> m_fDone{false};
    // The job's end and the end at once exclude each other: a job that has
    // ended takes no second request, and one that has not does not finish
    // while the process ends.
    std::mutex m_endLock;
    bool m_fJobEnded = false;  // under m_endLock
    std::thread m_watcher;
};

StopSignals::StopSignals(std::function<void(const char*)> stop, void (*pfnPutBack)(), std::string strLastWords)
    : m_pWatch(std::make_unique<Watch>(std::move(stop), pfnPutBack, std::move(strLastWords)))
{
    sigemptyset(&m_pWatch->m_signals);
    for (const StopSignal& signal : STOP_SIGNALS) {
        sigaddset(&m_pWatch->m_signals, signal.iSignal);
    }
    pthread_sigmask(SIG_BLOCK, &m_pWatch->m_signals, nullptr);
    m_pWatch->m_watcher = std::thread(&Watch::watch, m_pWatch.get());
}

// The signals stay blocked: one that comes now stays pending, and the process
// ends without taking it.
StopSignals::~StopSignals()
{
    m_pWatch->m_fDone.store(true);
    // A signal of the set, sent to the watcher alone, ends its wait.
    pthread_kill(m_pWatch->m_watcher.native_handle(), SIGTERM);
    m_pWatch->m_watcher.join();
}

void StopSignals::jobEnded()
{
    std::lock_guard<std::mutex> lock(m_pWatch->m_endLock);
    m_pWatch->m_fJobEnded = true;
}

void StopSignals::Watch::watch()
{
    for (int count = 0;; ++count) {
        int iSignal = 0;
        if (sigwait(&m_signals, &iSignal) != 0 || m_fDone.load()) {
            return;
        }
        std::lock_guard<std::mutex> lock(m_endLock);
        if (m_fJobEnded) {
            continue;
        }
        if (count > 0) {
            endAtOnce();
        }
        for (const StopSignal& signal : STOP_SIGNALS) {
            if (signal.iSignal == iSignal) {
                m_stop(signal.pszName);
            }
        }
    }
}

// This thread took the signal with sigwait: it is no handler, and whatever it
// waits for here the other threads release. Taking standard error's lock lets
// a line being written end first and keeps every later one out, so the last
// words are the last bytes.
void StopSignals::Watch::endAtOnce()
{
    m_pfnPutBack();
    flockfile(stderr);
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, m_strLastWords.data(), m_strLastWords.size());
    _exit(1);
}
