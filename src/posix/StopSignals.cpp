// The signals are blocked in every thread and taken by a thread of its own.
#include "StopSignals.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <utility>

struct StopSignals::Watch {
    Watch(std::function<void()> stop, std::string strLastWords)
        : m_stop(std::move(stop)), m_strLastWords(std::move(strLastWords))
    {
    }
    void watch();

    std::function<void()> m_stop;
    std::string m_strLastWords;
    sigset_t m_signals{};
    sigset_t m_previousMask{};
    std::atomic<bool> m_fDone{false};
    std::thread m_watcher;
};

StopSignals::StopSignals(std::function<void()> stop, std::string strLastWords)
    : m_pWatch(std::make_unique<Watch>(std::move(stop), std::move(strLastWords)))
{
    sigemptyset(&m_pWatch->m_signals);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&m_pWatch->m_signals, signal);
    }
    pthread_sigmask(SIG_BLOCK, &m_pWatch->m_signals, &m_pWatch->m_previousMask);
    m_pWatch->m_watcher = std::thread(&Watch::watch, m_pWatch.get());
}

StopSignals::~StopSignals()
{
    m_pWatch->m_fDone.store(true);
    // A signal of the set, sent to the watcher alone, ends its wait.
    pthread_kill(m_pWatch->m_watcher.native_handle(), SIGTERM);
    m_pWatch->m_watcher.join();
    pthread_sigmask(SIG_SETMASK, &m_pWatch->m_previousMask, nullptr);
}

void StopSignals::Watch::watch()
{
    for (int count = 0;; ++count) {
        int signal = 0;
        if (sigwait(&m_signals, &signal) != 0 || m_fDone.load()) {
            return;
        }
        if (count > 0) {
            [[maybe_unused]] const ssize_t written =
                ::write(STDERR_FILENO, m_strLastWords.data(), m_strLastWords.size());
            _exit(1);
        }
        m_stop();
    }
}
