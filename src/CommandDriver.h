// Runs the job a request asks for on the sequence it owns: turns the request
// into a programming context, starts the sequence with it and keeps the job's
// outcome.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "JobRequest.h"
#include "NSSequenceProcessor.h"

class VerboseLog;

class CommandDriver : public NSSequenceProcessorDelegate {
public:
    // The command code of a result record whose job failed before any
    // command exchange began (Reset's code is 0, so 0 cannot say it).
    static constexpr uint8_t NO_COMMAND = 0xFF;

    // A sequence on a real serial device.
    CommandDriver();
    // A sequence on the given port (tests pass a port that plays the board).
    explicit CommandDriver(std::unique_ptr<NSSerialPortProcessor> pComPort);
    CommandDriver(const CommandDriver&) = delete;
    CommandDriver& operator=(const CommandDriver&) = delete;
    // Detaches from the sequence, whose posted log lines may outlive us.
    ~CommandDriver() override;

    // Runs the job the request asks for; returns its result code. A request
    // without a port, or with a name longer than the context's field takes, is
    // refused before the sequence starts.
    uint64_t pushJob(const JobRequest& request);
    // From any thread: the job under way ends at its next wait, its end steps
    // run, and pushJob returns ERR_RECV_TIMEOUT, its reason "stopped by "
    // and pszCause ("SIGINT"; a text that lives as long as the program).
    void stop(const char* pszCause);
    // The result code of the last job.
    uint64_t returnResult() const;
    // The last job's result code and its last command exchange.
    const _RESULTINFO& resultInfo() const { return m_ResultInfo; }
    // The silicon signature the last job read, as "name: value" lines.
    std::string signatureLines() const { return m_SequenceProcessor->signatureLines(); }
    // Hands the line to the verbose log, if there is one; otherwise the
    // command line shows no log.
    void delegateAddLog(const std::string& strLog) override;
    // Not owned; from the next job on, the job logs its steps into it.
    void setVerboseLog(VerboseLog* pVerboseLog) { m_pVerboseLog = pVerboseLog; }

private:
    uint64_t buildContext(const JobRequest& request);
    uint64_t explain(uint64_t dwResult);
    void setReason(const std::string& strReason);

    _CONTEXTINFO m_ContextInfo{};
    _RESULTINFO m_ResultInfo{};
    NSSerialPortProcessor* m_pComPort = nullptr;  // the sequence's port, borrowed for its open's failure
    std::shared_ptr<NSSequenceProcessor> m_SequenceProcessor;
    std::atomic<const char*> m_pszStopCause{nullptr};
    VerboseLog* m_pVerboseLog = nullptr;
};
