#include "CommandDriver.h"

#include <utility>

#include "NSSequenceProcessor.h"
#include "ResultCodes.h"

CommandDriver::CommandDriver(JobEvents* pEvents) : CommandDriver(std::make_unique<NSSerialPortProcessor>(), pEvents) {}

CommandDriver::CommandDriver(std::unique_ptr<NSSerialPortProcessor> pComPort, JobEvents* pEvents)
    : m_pEvents(pEvents), m_SequenceProcessor(std::make_shared<NSSequenceProcessor>(std::move(pComPort), pEvents))
{
}

CommandDriver::~CommandDriver() = default;

uint64_t CommandDriver::pushJob(const JobRequest& request)
{
    if (!request.strPortName.empty()) {
        m_ResultInfo = m_SequenceProcessor->start(request);
        return m_ResultInfo.Result;
    }
    m_ResultInfo = _RESULTINFO{};
    m_ResultInfo.Result = ERR_PORT_NOT_SELECTED;
    m_ResultInfo.ComInfo.Command = NO_COMMAND;
    if (m_pEvents != nullptr) {
        m_pEvents->jobEnded(m_ResultInfo);
    }
    return m_ResultInfo.Result;
}

void CommandDriver::stop(const char* pszCause) { m_SequenceProcessor->stop(pszCause); }

uint64_t CommandDriver::returnResult() const { return m_ResultInfo.Result; }

DeviceSignature CommandDriver::signature() const { return m_SequenceProcessor->signature(); }
