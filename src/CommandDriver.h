// Turns the command-line arguments into a programming context, runs one write
// job on the sequence it owns and keeps the job's outcome.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "NSSequenceProcessor.h"

class CommandDriver : public NSSequenceProcessorDelegate {
public:
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
    // The result code of the last job.
    uint64_t returnResult() const;
    // Ignores the line: the command line shows no log.
    void delegateAddLog(const std::string& strLog) override;

    const std::optional<std::string>& fileNameStirng() const { return _fileNameStirng; }
    void setFileNameStirng(std::optional<std::string> fileNameStirng);
    const std::optional<std::string>& portNameStirng() const { return _portNameStirng; }
    void setPortNameStirng(std::optional<std::string> portNameStirng);
    const std::optional<std::string>& boardNameStirng() const { return _boardNameStirng; }
    void setBoardNameStirng(std::optional<std::string> boardNameStirng);

    // The argument as a string, or none when its bytes are not valid UTF-8.
    static std::optional<std::string> decodeArgument(const char* pbArgument);

private:
    void applicationInitialize(std::unique_ptr<NSSerialPortProcessor> pComPort);
    uint64_t buildContext();

    _CONTEXTINFO m_ContextInfo{};
    _RESULTINFO m_ResultInfo{};
    std::shared_ptr<NSSequenceProcessor> m_SequenceProcessor;
    std::optional<std::string> _fileNameStirng;
    std::optional<std::string> _boardNameStirng;
    std::optional<std::string> _portNameStirng;
};
