// The signals are blocked in every thread and taken by a thread of its own.
#include "StopSignals.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
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
    explicit Watch(Requests& requests) : m_requests(requests) {}
    void watch();

    Requests& m_requests;
    sigset_t m_signals{};
    std::atomic<bool> m_fDone{false};
    std::thread m_watcher;
};

StopSignals::StopSignals(std::function<void(const char*)> stop, std::string strLastWords)
    : m_requests{.stop = std::move(stop), .strLastWords = std::move(strLastWords)},
      m_pWatch(std::make_unique<Watch>(m_requests))
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

void StopSignals::Watch::watch()
{
    for (;;) {
        int iSignal = 0;
        if (sigwait(&m_signals, &iSignal) != 0 || m_fDone.load()) {
            return;
        }
        for (const StopSignal& signal : STOP_SIGNALS) {
            if (signal.iSignal == iSignal) {
                m_requests.take(signal.pszName);
            }
        }
    }
}

// The watcher took the signal with sigwait: it is no handler, and whatever it
// waits for here the other threads release.
void StopSignals::endProcess(const std::string& strLastWords, const char* pszName)
{
    flockfile(stderr);
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, strLastWords.data(), strLastWords.size());
    endBy(pszName);
    _exit(1);
}

// The signal is sent to this thread alone, in which it is then unblocked:
// no other thread can take it.
void StopSignals::endBy(const char* pszName)
{
    for (const StopSignal& signal : STOP_SIGNALS) {
        if (std::strcmp(signal.pszName, pszName) == 0) {
            std::signal(signal.iSignal, SIG_DFL);
            sigset_t one{};
            sigemptyset(&one);
            sigaddset(&one, signal.iSignal);
            pthread_kill(pthread_self(), signal.iSignal);
            pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
        }
    }
    _exit(1);
}
