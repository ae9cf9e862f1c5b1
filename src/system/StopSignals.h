// Turns the system's requests to stop during a job into an orderly stop: the
// first one asks the job to stop, so that it ends at its next wait and its end
// steps still run; a second one puts the open devices back and ends the
// process at once, with the given last words as the last bytes on standard
// error. On POSIX systems the requests are SIGINT, SIGTERM and SIGHUP, and a
// process they stopped ends by that signal, so that a shell running the
// program in a loop stops too; on Windows they are Ctrl-C, Ctrl-Break and a
// closed console, and the process ends with exit status 1.
//
// Made before any other thread starts; the stop is asked outside any signal
// handler. Each system receives its requests its own way (src/system/posix,
// src/system/win32) and hands each to take.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

class StopSignals {
public:
    // stop gets the request's name ("SIGINT", "Ctrl-C"), a text that lives as
    // long as the program.
    StopSignals(std::function<void(const char* pszCause)> stop, std::string strLastWords);
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;
    // Stops watching; a request that comes later is ignored, so that none cuts
    // short what the program writes after the job.
    ~StopSignals();

    // From the job's thread as the job ends: a request from now on is ignored,
    // since there is nothing left to stop.
    void jobEnded();
    // Once the job's end is told: when a request stopped the job, ends the
    // process as that request ends it (POSIX: by its signal); otherwise, and
    // on Windows, returns.
    void endIfStopped();

    // What every system does with its requests: the first asks the job to
    // stop, a second puts the open devices back and ends the process with the
    // last words; once the job has ended, a request is ignored. The job's end
    // and the end at once exclude each other: a job that has ended takes no
    // second request, and one that has not does not finish while the process
    // ends.
    struct Requests {
        std::function<void(const char*)> stop;
        std::string strLastWords;
        std::mutex lock{};
        int count = 0;                   // under lock: the requests taken so far
        const char* pszFirst = nullptr;  // under lock: the first request, which stopped the job
        bool fJobEnded = false;          // under lock
        // Takes one request of that name.
        void take(const char* pszName);
    };
    // What the system's own watch keeps.
    struct Watch;

private:
    // Writes the last words as the last bytes on standard error (its lock lets
    // a line being written end first and keeps every later one out) and ends
    // the process as the request pszName ends it.
    [[noreturn]] static void endProcess(const std::string& strLastWords, const char* pszName);
    // POSIX: ends the process by the signal pszName names, as if the program
    // did not take it; Windows: returns.
    static void endBy(const char* pszName);

    Requests m_requests;
    std::unique_ptr<Watch> m_pWatch;
};
