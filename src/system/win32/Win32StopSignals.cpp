// The console calls its control handlers on a new thread for each event.
#include "StopSignals.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <utility>

struct StopSignals::Watch {};  // the console calls the handler: nothing more to keep

namespace {

std::mutex watchLock;  // guards pRequests
StopSignals::Requests* pRequests = nullptr;

const char* eventName(DWORD dwEvent)
{
    switch (dwEvent) {
    case CTRL_C_EVENT: return "Ctrl-C";
    case CTRL_BREAK_EVENT: return "Ctrl-Break";
    case CTRL_CLOSE_EVENT: return "the console closing";
    default: return nullptr;
    }
}

BOOL WINAPI takeConsoleEvent(DWORD dwEvent)
{
    const char* pszName = eventName(dwEvent);
    if (pszName == nullptr) {
        return FALSE;
    }
    {
        // Once the watch is over, an event is taken and ignored.
        std::lock_guard<std::mutex> lock(watchLock);
        if (pRequests != nullptr) {
            pRequests->take(pszName);
        }
    }
    // When the handler of a closed console returns, the system ends the
    // process: it waits here until the job's end steps have run and the
    // program exits (or the system's own time for closing runs out).
    if (dwEvent == CTRL_CLOSE_EVENT) {
        Sleep(INFINITE);
    }
    return TRUE;
}

}  // namespace

StopSignals::StopSignals(std::function<void(const char*)> stop, std::string strLastWords)
    : m_requests{.stop = std::move(stop), .strLastWords = std::move(strLastWords)}
{
    {
        std::lock_guard<std::mutex> lock(watchLock);
        pRequests = &m_requests;
    }
    SetConsoleCtrlHandler(takeConsoleEvent, TRUE);
}

// The handler stays: an event that comes now is ignored until the process ends.
StopSignals::~StopSignals()
{
    std::lock_guard<std::mutex> lock(watchLock);
    pRequests = nullptr;
}

void StopSignals::endProcess(const std::string& strLastWords, const char*)
{
    _lock_file(stderr);
    DWORD dwWritten = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), strLastWords.data(), static_cast<DWORD>(strLastWords.size()), &dwWritten,
              nullptr);
    TerminateProcess(GetCurrentProcess(), 1);
    std::_Exit(1);  // not reached: TerminateProcess of this process does not return
}

// A console program that a Ctrl-C stopped in order ends with the status it gives.
void StopSignals::endBy(const char*) {}
