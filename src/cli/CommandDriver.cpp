#include "CommandDriver.h"

#include <cstring>
#include <utility>

#include "NSSequenceProcessor.h"
#include "ResultCodes.h"

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

CommandDriver::CommandDriver(JobEvents* pEvents) : CommandDriver(std::make_unique<NSSerialPortProcessor>(), pEvents) {}

CommandDriver::CommandDriver(std::unique_ptr<NSSerialPortProcessor> pComPort, JobEvents* pEvents)
    : m_pEvents(pEvents), m_SequenceProcessor(std::make_shared<NSSequenceProcessor>(std::move(pComPort), pEvents))
{
}

CommandDriver::~CommandDriver() = default;

uint64_t CommandDriver::pushJob(const JobRequest& request)
{
    m_ContextInfo = _CONTEXTINFO{};
    m_ResultInfo = _RESULTINFO{};
    m_ContextInfo.pResultInfo = &m_ResultInfo;
    m_ContextInfo.ComInfo.Command = NO_COMMAND;
    m_ResultInfo.ComInfo.Command = NO_COMMAND;

    m_ResultInfo.Result = buildContext(request);
    if (m_ResultInfo.Result != RESULT_OK) {
        if (m_pEvents != nullptr) {
            m_pEvents->jobEnded(m_ResultInfo);
        }
        return m_ResultInfo.Result;
    }
    return m_SequenceProcessor->start(m_ContextInfo, request.plan);
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
        m_ResultInfo.setReason(strWhy);
        return ERR_PARAMETER;
    }
    m_ContextInfo.BaudRate = request.bBaudRate;
    if (!readsImage(request.plan.kind)) {
        return RESULT_OK;
    }
    if (!copyText(request.strImagePath, m_ContextInfo.TargetFileInfo.FilePath, "the image path", &strWhy)) {
        m_ResultInfo.setReason(strWhy);
        return ERR_PARAMETER;
    }
    return RESULT_OK;
}

void CommandDriver::stop(const char* pszCause) { m_SequenceProcessor->stop(pszCause); }

uint64_t CommandDriver::returnResult() const { return m_ResultInfo.Result; }

DeviceSignature CommandDriver::signature() const { return m_SequenceProcessor->signature(); }
