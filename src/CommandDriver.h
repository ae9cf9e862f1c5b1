// Turns the command-line arguments into a programming context, runs one job
// (a write, or another kind) on the sequence it owns and keeps the job's outcome.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "NSSequenceProcessor.h"

class VerboseLog;

class CommandDriver : public NSSequenceProcessorDelegate {
public:
    // The command code of a result record whose job failed before any
    // command exchange began (Reset's code is 0, so 0 cannot say it).
    static constexpr uint8_t NO_COMMAND = 0xFF;

    // Three absent strings, a sequence on a real serial device.
    CommandDriver();
    CommandDriver(std::optional<std::string> filename, std::optional<std::string> port,
                  std::optional<std::string> board);
    // A sequence on the given port (tests pass a port that plays the board).
    explicit CommandDriver(std::unique_ptr<NSSerialPortProcessor> pComPort);
    CommandDriver(const CommandDriver&) = delete;
    CommandDriver& operator=(const CommandDriver&) = delete;
    // Detaches from the sequence, whose posted log lines may outlive us.
    ~CommandDriver() override;

    void applicationInitialize();

    // Runs one write job; returns its result code.
    uint64_t pushWrite();
    // Runs one job of the given kind; returns its result code. Only a write
    // and a verify need the file name.
    uint64_t pushJob(NSSequenceProcessor::JobKind job);
    // From any thread: the job under way ends at its next wait, its end steps
    // run, and pushWrite returns ERR_RECV_TIMEOUT, its reason "stopped by "
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
    // The Baud Rate Set code (0 to 3) of the next job; 0 unless set.
    void setBaudRate(uint8_t bBaudRate) { m_bBaudRate = bBaudRate; }

    const std::optional<std::string>& fileNameStirng() const { return _fileNameStirng; }
    void setFileNameStirng(std::optional<std::string> fileNameStirng);
    const std::optional<std::string>& portNameStirng() const { return _portNameStirng; }
    void setPortNameStirng(std::optional<std::string> portNameStirng);
    const std::optional<std::string>& boardNameStirng() const { return _boardNameStirng; }
    void setBoardNameStirng(std::optional<std::string> boardNameStirng);

private:
    void applicationInitialize(std::unique_ptr<NSSerialPortProcessor> pComPort);
    uint64_t buildContext(bool fImage);
    uint64_t explain(uint64_t dwResult);
    void setReason(const std::string& strReason);

    _CONTEXTINFO m_ContextInfo{};
    _RESULTINFO m_ResultInfo{};
    std::shared_ptr<NSSequenceProcessor> m_SequenceProcessor;
    NSSerialPortProcessor* m_pComPort = nullptr;  // the sequence's port, borrowed for its open's failure
    std::atomic<const char*> m_pszStopCause{nullptr};
    std::optional<std::string> _fileNameStirng;
    std::optional<std::string> _boardNameStirng;
    std::optional<std::string> _portNameStirng;
    VerboseLog* m_pVerboseLog = nullptr;
    uint8_t m_bBaudRate = 0;
};
