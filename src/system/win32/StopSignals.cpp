// The console calls its control handlers on a new thread for each event.
#include "StopSignals.h"

#include <windows.h>

#include <cstdio>
#include <mutex>
#include <utility>

struct StopSignals::Watch {
    std::function<void(const char*)> m_stop;
    void (*m_pfnPutBack)();
    std::string m_strLastWords;
    int m_iCount = 0;          // the events taken so far
    bool m_fJobEnded = false;  // from then on an event is ignored
};

namespace {

std::mutex watchLock;  // guards pWatch and what it points to
StopSignals::Watch* pWatch = nullptr;

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
        // Once the job has ended, or the watch is over, an event is taken and ignored.
        std::lock_guard<std::mutex> lock(watchLock);
        if (pWatch != nullptr && !pWatch->m_fJobEnded) {
            // The second: the devices put back, then the last words as the last
            // bytes (standard error's lock lets a line being written end first
            // and keeps every later one out).
            if (pWatch->m_iCount++ > 0) {
                pWatch->m_pfnPutBack();
                _lock_file(stderr);
                DWORD dwWritten = 0;
                WriteFile(GetStdHandle(STD_ERROR_HANDLE), pWatch->m_strLastWords.data(),
                          static_cast<DWORD>(pWatch->m_strLastWords.size()), &dwWritten, nullptr);
                TerminateProcess(GetCurrentProcess(), 1);
            }
            pWatch->m_stop(pszName);
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

StopSignals::StopSignals(std::function<void(const char*)> stop, void (*pfnPutBack)(), std::string strLastWords)
    : m_pWatch(new Watch{std::move(stop), pfnPutBack, std::move(strLastWords)})
{
    {
        std::lock_guard<std::mutex> lock(watchLock);
        pWatch = m_pWatch.get();
    }
    SetConsoleCtrlHandler(takeConsoleEvent, TRUE);
}

// The handler stays: an event that comes now is ignored until the process ends.
StopSignals::~StopSignals()
{
    std::lock_guard<std::mutex> lock(watchLock);
    pWatch = nullptr;
}

void StopSignals::jobEnded()
{
    std::lock_guard<std::mutex> lock(watchLock);
    m_pWatch->m_fJobEnded = true;
}
