#include "CommandDriver.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "ResultCodes.h"
#include "VerboseLog.h"

namespace {

// Copies the text and its terminator into a fixed field; when it does not
// fit, says so for the named text in *pstrWhy.
bool copyText(const std::string& strText, char (&field)[1024], const char* pszWhat, std::string* pstrWhy)
{
    if (strText.size() >= sizeof field) {
        *pstrWhy = std::string(pszWhat) + " is " + std::to_string(strText.size()) + " bytes long; at most " +
                   std::to_string(sizeof field - 1) + " are taken";
        return false;
    }
    std::memcpy(field, strText.c_str(), strText.size() + 1);
    return true;
}

}  // namespace

CommandDriver::CommandDriver() : CommandDriver(std::make_unique<NSSerialPortProcessor>()) {}

CommandDriver::CommandDriver(std::unique_ptr<NSSerialPortProcessor> pComPort)
    : m_pComPort(pComPort.get()), m_SequenceProcessor(std::make_shared<NSSequenceProcessor>(std::move(pComPort)))
{
    m_SequenceProcessor->setDelegate(this);
}

CommandDriver::~CommandDriver()
{
    if (m_SequenceProcessor) {
        m_SequenceProcessor->setDelegate(nullptr);
    }
}

uint64_t CommandDriver::pushJob(const JobRequest& request)
{
    m_ContextInfo = _CONTEXTINFO{};
    m_ResultInfo = _RESULTINFO{};
    m_ContextInfo.pResultInfo = &m_ResultInfo;
    m_ContextInfo.ComInfo.Command = NO_COMMAND;
    m_ResultInfo.ComInfo.Command = NO_COMMAND;

    const uint64_t r = buildContext(request);
    if (r != RESULT_OK) {
        m_ResultInfo.Result = r;
        return r;
    }
    m_SequenceProcessor->setVerbose(m_pVerboseLog != nullptr);
    return explain(m_SequenceProcessor->start(m_ContextInfo, request.kind));
}

// Fills the port path, the line speed and, for a job that reads an image, the
// image path; refuses the job when the port is missing or a name does not fit
// its field. Nothing has been started when this fails.
uint64_t CommandDriver::buildContext(const JobRequest& request)
{
    if (request.strPortName.empty()) {
        return ERR_PORT_NOT_SELECTED;
    }
    std::string strWhy;
    if (!copyText(request.strPortName, m_ContextInfo.PortName, "the port name", &strWhy)) {
        setReason(strWhy);
        return ERR_PARAMETER;
    }
    m_ContextInfo.BaudRate = request.bBaudRate;
    if (!readsImage(request.kind)) {
        return RESULT_OK;
    }
    if (!copyText(request.strImagePath, m_ContextInfo.TargetFileInfo.FilePath, "the image path", &strWhy)) {
        setReason(strWhy);
        return ERR_PARAMETER;
    }
    return RESULT_OK;
}

// The job's result as the command line tells it: a job that failed after a
// stop was asked for was stopped, whatever its last wait returned; a port
// that did not open says what the system answered.
uint64_t CommandDriver::explain(uint64_t dwResult)
{
    if (dwResult == RESULT_OK) {
        return dwResult;
    }
    if (const char* pszCause = m_pszStopCause.load()) {
        dwResult = ERR_RECV_TIMEOUT;
        m_ResultInfo.Result = dwResult;
        setReason(std::string("stopped by ") + pszCause);
    } else if (dwResult == ERR_PORT_OPEN) {
        setReason(m_pComPort->OpenFailure());
    }
    return dwResult;
}

void CommandDriver::setReason(const std::string& strReason)
{
    const size_t length = std::min(strReason.size(), sizeof m_ResultInfo.Reason - 1);
    std::memcpy(m_ResultInfo.Reason, strReason.data(), length);
    m_ResultInfo.Reason[length] = '\0';
}

void CommandDriver::stop(const char* pszCause)
{
    m_pszStopCause.store(pszCause);
    m_SequenceProcessor->stop();
}

uint64_t CommandDriver::returnResult() const { return m_ResultInfo.Result; }

void CommandDriver::delegateAddLog(const std::string& strLog)
{
    if (m_pVerboseLog != nullptr) {
        m_pVerboseLog->addLine(strLog);
    }
}
