// Turns the system's requests to stop during a job into an orderly stop: the
// first one asks the job to stop, so that it ends at its next wait and its end
// steps still run; a second one puts the open devices back and ends the
// process at once, with the given last words as the last bytes on standard
// error and exit status 1. On POSIX systems the requests are SIGINT, SIGTERM
// and SIGHUP; on Windows Ctrl-C, Ctrl-Break and a closed console.
//
// Made before any other thread starts; the stop is asked outside any signal
// handler.
#pragma once

#include <functional>
#include <memory>
#include <string>

class StopSignals {
public:
    // stop gets the request's name ("SIGINT", "Ctrl-C"), a text that lives as
    // long as the program. pfnPutBack runs on the second request, before the
    // last words; it must be safe in a signal's context.
    StopSignals(std::function<void(const char* pszCause)> stop, void (*pfnPutBack)(), std::string strLastWords);
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;
    // Stops watching; a request that comes later is ignored, so that none cuts
    // short what the program writes after the job.
    ~StopSignals();

    // From the job's thread as the job ends: a request from now on is ignored,
    // since there is nothing left to stop.
    void jobEnded();

    // What the system's own watch keeps.
    struct Watch;

private:
    std::unique_ptr<Watch> m_pWatch;
};
