#include "JobRecord.h"

#include <utility>

#include "MainDispatchQueue.h"
#include "ResultCodes.h"

JobRecord::JobRecord(JobEvents& listener) : m_Listener(listener) {}

NSSequenceProcessorDelegate* JobRecord::delegate() const { return m_delegate.load(); }

void JobRecord::setDelegate(NSSequenceProcessorDelegate* pDelegate) { m_delegate.store(pDelegate); }

void JobRecord::addLog(std::string_view strLog)
{
    if (delegate() == nullptr) {
        return;
    }
    // The task keeps the record alive and asks for the delegate only when it
    // runs, so a delegate cleared meanwhile is never called.
    std::shared_ptr<JobRecord> self = weak_from_this().lock();
    if (!self) {
        return;
    }
    MainDispatchQueue::async([self = std::move(self), strLog = std::string(strLog)] {
        if (NSSequenceProcessorDelegate* pDelegate = self->delegate()) {
            pDelegate->delegateAddLog(strLog);
        }
    });
}

void JobRecord::stepBegan(JobStep step)
{
    switch (step) {
    case JobStep::MODE_ENTRY: addLog("## Programming Mode\n"); break;
    case JobStep::ERASE: addLog("## Block Blank Check & Erace..."); break;
    case JobStep::PROGRAM: addLog("## Programming..."); break;
    case JobStep::MODE_ENTRY_INVERTED:
    case JobStep::COMPARE: break;
    }
    m_Listener.stepBegan(step);
}

void JobRecord::stepEnded(JobStep step, uint64_t dwResult)
{
    if (step == JobStep::ERASE || step == JobStep::PROGRAM) {
        addLog(ResultCodes::of(dwResult).text);
    }
    m_Listener.stepEnded(step, dwResult);
}

void JobRecord::jobEnded(const _RESULTINFO& result)
{
    addLog(result.Result == RESULT_OK ? "## Write Complete" : "## Write Failed");
    m_Listener.jobEnded(result);
}

// The other events pass on unchanged.
void JobRecord::imageLoaded(uint64_t dwBytes, uint64_t dwBlocks, const std::vector<FlashRange>& runs,
                            const char* pszContentFormat)
{
    m_Listener.imageLoaded(dwBytes, dwBlocks, runs, pszContentFormat);
}
void JobRecord::imageRefused(const std::string& strProblem) { m_Listener.imageRefused(strProblem); }
void JobRecord::portOpened(const char* pszPort, uint64_t dwBaudRate, bool fLowLatency,
                           std::optional<uint64_t> latencyTimer)
{
    m_Listener.portOpened(pszPort, dwBaudRate, fLowLatency, latencyTimer);
}
void JobRecord::progress(JobStep step, uint64_t dwDone, uint64_t dwTotal)
{
    m_Listener.progress(step, dwDone, dwTotal);
}
void JobRecord::signatureRead(const DeviceSignature& signature) { m_Listener.signatureRead(signature); }
void JobRecord::lineSpeedSet(uint64_t dwBaudRate) { m_Listener.lineSpeedSet(dwBaudRate); }
void JobRecord::blankChecked(uint64_t dwBlank, uint64_t dwErased) { m_Listener.blankChecked(dwBlank, dwErased); }
void JobRecord::checksumsCompared(const FlashRange& run, uint16_t wHost, uint16_t wTarget)
{
    m_Listener.checksumsCompared(run, wHost, wTarget);
}
void JobRecord::blockDiffers(const FlashRange& block, uint16_t wHost, uint16_t wTarget)
{
    m_Listener.blockDiffers(block, wHost, wTarget);
}
void JobRecord::frameSent(const uint8_t* pbFrame, uint64_t dwLength, uint64_t dwMsec)
{
    m_Listener.frameSent(pbFrame, dwLength, dwMsec);
}
void JobRecord::answerTaken(const uint8_t* pbFrame, uint64_t dwLength, uint64_t dwMsec)
{
    m_Listener.answerTaken(pbFrame, dwLength, dwMsec);
}
void JobRecord::noiseDropped(uint64_t dwBytes, const char* pszAnswer) { m_Listener.noiseDropped(dwBytes, pszAnswer); }
void JobRecord::imageWritten(uint64_t dwBytes, uint64_t dwMsec) { m_Listener.imageWritten(dwBytes, dwMsec); }
void JobRecord::provingAgain(uint64_t dwQuietMsec) { m_Listener.provingAgain(dwQuietMsec); }
void JobRecord::stopAsked() { m_Listener.stopAsked(); }
