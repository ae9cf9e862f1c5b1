// What every system does with a stop request once its own watch has taken it.
#include "StopSignals.h"

#include "SerialDevice.h"

void StopSignals::Requests::take(const char* pszName)
{
    std::lock_guard<std::mutex> guard(lock);
    if (fJobEnded) {
        return;
    }
    if (count++ > 0) {
        SerialDevice::putBackAll();
        endProcess(strLastWords, pszName);
    }
    pszFirst = pszName;
    stop(pszName);
}

void StopSignals::jobEnded()
{
    std::lock_guard<std::mutex> guard(m_requests.lock);
    m_requests.fJobEnded = true;
}

void StopSignals::endIfStopped()
{
    const char* pszFirst = nullptr;
    {
        std::lock_guard<std::mutex> guard(m_requests.lock);
        pszFirst = m_requests.pszFirst;
    }
    if (pszFirst != nullptr) {
        endBy(pszFirst);
    }
}
