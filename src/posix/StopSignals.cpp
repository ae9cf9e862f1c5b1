#include "StopSignals.h"

#include <pthread.h>
#include <unistd.h>

#include <utility>

StopSignals::StopSignals(std::function<void()> stop, std::string strLastWords)
    : m_stop(std::move(stop)), m_strLastWords(std::move(strLastWords))
{
    sigemptyset(&m_signals);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&m_signals, signal);
    }
    pthread_sigmask(SIG_BLOCK, &m_signals, &m_previousMask);
    m_watcher = std::thread(&StopSignals::watch, this);
}

StopSignals::~StopSignals()
{
    m_fDone.store(true);
    // A signal of the set, sent to the watcher alone, ends its wait.
    pthread_kill(m_watcher.native_handle(), SIGTERM);
    m_watcher.join();
    pthread_sigmask(SIG_SETMASK, &m_previousMask, nullptr);
}

void StopSignals::watch()
{
    for (int count = 0;; ++count) {
        int signal = 0;
        if (sigwait(&m_signals, &signal) != 0 || m_fDone.load()) {
            return;
        }
        if (count > 0) {
            [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, m_strLastWords.data(), m_strLastWords.size());
            _exit(1);
        }
        m_stop();
    }
}
