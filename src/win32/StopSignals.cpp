// The console calls its control handlers on a new thread for each event.
#include "StopSignals.h"

#include <windows.h>

#include <mutex>
#include <utility>

struct StopSignals::Watch {
    std::function<void()> m_stop;
    std::string m_strLastWords;
    int m_iCount = 0;  // the events taken so far
};

namespace {

std::mutex watchLock;  // guards pWatch and what it points to
StopSignals::Watch* pWatch = nullptr;

BOOL WINAPI takeConsoleEvent(DWORD dwEvent)
{
    if (dwEvent != CTRL_C_EVENT && dwEvent != CTRL_BREAK_EVENT && dwEvent != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> lock(watchLock);
        if (pWatch == nullptr) {
            return FALSE;
        }
        if (pWatch->m_iCount++ > 0) {
            DWORD dwWritten = 0;
            WriteFile(GetStdHandle(STD_ERROR_HANDLE), pWatch->m_strLastWords.data(),
                      static_cast<DWORD>(pWatch->m_strLastWords.size()), &dwWritten, nullptr);
            TerminateProcess(GetCurrentProcess(), 1);
        }
        pWatch->m_stop();
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

StopSignals::StopSignals(std::function<void()> stop, std::string strLastWords)
    : m_pWatch(new Watch{std::move(stop), std::move(strLastWords)})
{
    {
        std::lock_guard<std::mutex> lock(watchLock);
        pWatch = m_pWatch.get();
    }
    SetConsoleCtrlHandler(takeConsoleEvent, TRUE);
}

StopSignals::~StopSignals()
{
    SetConsoleCtrlHandler(takeConsoleEvent, FALSE);
    std::lock_guard<std::mutex> lock(watchLock);
    pWatch = nullptr;
}
