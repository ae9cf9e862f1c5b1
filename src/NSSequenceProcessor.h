// The programming sequence: the job's records, the message of every result
// code, the log path to a delegate, and one procedure per protocol exchange
// with the target, run in order by `programming`.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "ExchangeRunner.h"
#include "JobRequest.h"
#include "NSCommandProcessor.h"
#include "NSSerialPortProcessor.h"
#include "NSTargetFile.h"
#include "NSWaitingTimeCalculator.h"
#include "ResultCodes.h"

// Record of the command exchange under way (or of the last one).
struct _COMMANDINFO {
    uint8_t Command;  // command code
    uint8_t ST1;      // status byte answering a command frame
    uint8_t DST1;     // first status byte answering a data frame
    uint8_t DST2;     // second status byte answering a data frame
    uint64_t Retry;   // index, from 0, of the attempt under way
};

// The job's outcome, written through _CONTEXTINFO::pResultInfo.
struct _RESULTINFO {
    uint64_t Result;
    _COMMANDINFO ComInfo;
    bool DeviceGone = false;     // the serial device went away during the job
    bool UnaskedAnswer = false;  // the target sent an answer that no frame asked for
    char Reason[160] = {};       // what happened, where the code's meaning says less (a stop, the port's open); or ""
};

struct _TARGETFILEINFO {
    char FilePath[1024];  // UTF-8, zero-terminated
    uint64_t ProgramAddress;
    uint64_t ProgramSize;
    uint64_t DataAddress;
    uint64_t DataSize;
};

// The two data bytes of a long Baud Rate Set answer.
struct _BAUDRATESETSTAT {
    uint8_t D01;
    uint8_t D02;
};

// The target's silicon signature, bytes as received; addresses low byte first.
struct _SILICONSIGNATURE {
    uint8_t DevCode[3];
    uint8_t DevName[11];  // ten characters and a terminating zero
    uint8_t CodeEndAddress[3];
    uint8_t DataEndAddress[3];
    uint8_t FVer[3];
};

struct _SECURITYGETINFO {
    uint8_t Flg;
    uint8_t Bot;
    uint8_t Ssl;
    uint8_t Ssh;
    uint8_t Sel;
    uint8_t Seh;
};

// The programming context: built by the command driver, copied by `start`.
struct _CONTEXTINFO {
    uint8_t BaudRate;  // link-speed code 0..3 of Baud Rate Set
    _RESULTINFO* pResultInfo;
    char PortName[1024];  // UTF-8, zero-terminated
    _TARGETFILEINFO TargetFileInfo;
    _BAUDRATESETSTAT BaudRateStat;
    _SILICONSIGNATURE SiliconSignature;
    _SECURITYGETINFO SecurityGetInfo;
    _COMMANDINFO ComInfo;
    uint64_t TransitionStartTime;  // ms: DTR back to idle during mode entry
    uint64_t TransitionEndTime;    // ms: last Baud Rate Set frame sent
    uint64_t ComRetryMax;          // attempts of a command exchange
    uint64_t RetryWaitTime;        // ms after a failed attempt
    uint64_t SendWait;             // ms before each frame and between line changes
    uint64_t ReceiveTimeout;       // ms: status timeout of Baud Rate Set
};

// Receives the sequence's log lines, in order, wherever the main dispatch
// queue is drained.
class NSSequenceProcessorDelegate {
public:
    virtual ~NSSequenceProcessorDelegate() = default;
    virtual void delegateAddLog(const std::string& strLog) = 0;
};

// Must be owned by a std::shared_ptr: a posted log line keeps the sequence
// alive until it has been delivered.
class NSSequenceProcessor : public std::enable_shared_from_this<NSSequenceProcessor> {
public:
    // Works on a real serial device.
    NSSequenceProcessor();
    // Works on the given port (tests pass a port that plays the board).
    explicit NSSequenceProcessor(std::unique_ptr<NSSerialPortProcessor> pComPort);
    NSSequenceProcessor(const NSSequenceProcessor&) = delete;
    NSSequenceProcessor& operator=(const NSSequenceProcessor&) = delete;
    ~NSSequenceProcessor();

    // Prepares the frame buffers. When that fails every later job is refused
    // with ERR_INIT before the port is opened.
    uint64_t initialize();
    void initCommandInfo(uint8_t bCommand);
    static std::string_view getResultText(uint64_t dwResult);

    NSSequenceProcessorDelegate* delegate() const;
    // Not owned; clear it before the delegate goes away.
    void setDelegate(NSSequenceProcessorDelegate* pDelegate);
    // Posts the line for the delegate without waiting for its delivery.
    void addLog(const std::string& strLog);
    // With verbose on, the job also logs each step in plain English: the
    // image, the port, mode entry, the device, the blank check, progress of
    // the programming step (progressLine) and the checksums.
    void setVerbose(bool fVerbose);
    // strStep is one word: "programming", "erasing".
    static std::string progressLine(const std::string& strStep, uint64_t dwDone, uint64_t dwTotal);
    // Reads a line made by progressLine; false for any other line.
    static bool parseProgressLine(const std::string& strLog, std::string* pstrStep, uint64_t* pdwDone,
                                  uint64_t* pdwTotal);

    // One job of the given kind.
    uint64_t start(_CONTEXTINFO contextInfo, JobKind job = JOB_WRITE);
    // From any thread: the job ends at its next wait, as on a line that went
    // dead, and its end steps run. Also before the job has started.
    void stop();
    uint64_t programming();
    uint64_t checkSizeAndAddressRange(uint64_t dwProgramStartAddress, uint64_t programSize, uint64_t dataStartAddress,
                                      uint64_t dataSize);
    const _CONTEXTINFO& contextInfo() const { return m_ContextInfo; }
    // The stored signature as "name: value" lines: device-name, device-code,
    // code-flash-size, data-flash-size, firmware-version.
    std::string signatureLines() const;

    // Mode entry and link set-up.
    uint64_t programingMode(uint8_t bBaudRate, uint8_t voltage, uint8_t InvertDTR);
    uint64_t comBaudRateSetProc(uint8_t bBaudRate, uint8_t voltage);
    uint64_t comResetProc();
    uint64_t comSiliconSignatureProc();

    // Flash blocks and programming.
    uint64_t comBlockBlankCheckProc(uint64_t dwStartAddress, bool codeFlash);
    uint64_t comBlockEraseProc(uint64_t dwStartAddress, bool codeFlash);
    uint64_t comProgrammingProc(uint64_t dwStartAddress, uint64_t endAddress, const uint8_t* data, uint64_t dataLength,
                                bool codeFlash);
    uint64_t comChecksum(uint64_t dwStartAddress, uint64_t endAddress, uint8_t* ck1, uint8_t* ck2, bool codeFlash);
    uint64_t getChecksum(const uint8_t* pbData, uint64_t size, uint32_t* checksum);

    // Sleeps on the port's millisecond clock for more than dwMsec ms; returns the ms that passed.
    uint64_t wait(uint64_t dwMsec);

    uint64_t makeAddress(uint8_t bLow, uint8_t mid, uint8_t low) const;
    uint64_t splitAddress(uint64_t dwAddress, uint8_t* high, uint8_t* mid, uint8_t* low) const;

private:
    using StatusParser = uint64_t (NSCommandProcessor::*)(uint8_t* pbSt1);

    uint64_t runJob();
    uint64_t enterProgrammingMode();
    uint64_t blankCheckAndErase(uint64_t dwBlocks, bool fEraseJob);
    uint64_t compareChecksum(const uint8_t* pbImage, uint64_t dwSize, uint64_t dwEndAddress);
    void addVerboseLog(const std::string& strLog);
    uint64_t flashSize(bool codeFlash) const;
    std::string deviceName() const;
    void driveDtr(bool fActive, bool fInvert);
    uint64_t blankCheck(uint64_t dwStartAddress, uint64_t endAddress, uint64_t dwBlocks, bool codeFlash);
    uint64_t sendProgrammingDataFrame(const uint8_t* pbPayload, bool finalFrame, uint64_t dwTds, uint64_t dwTss);
    static uint64_t statusResult(uint64_t rCheck, bool fAcknowledged, uint64_t dwRefused);
    ExchangeRunner::Answer commandStatus(const char* pszWhat, uint64_t timeout, StatusParser parser);
    ExchangeRunner::Answer dataFrameStatus(const char* pszWhat, uint64_t timeout, bool fTwoBytesAllowed);
    static ExchangeRunner::Answer resultData(const char* pszWhat, uint64_t timeout, uint64_t dwSize,
                                             std::function<uint64_t()> parse);

    std::unique_ptr<NSCommandProcessor> m_Cmd;
    _CONTEXTINFO m_ContextInfo{};
    std::unique_ptr<NSSerialPortProcessor> m_ComPort;
    std::unique_ptr<NSTargetFile> m_TargetFile;
    std::unique_ptr<NSWaitingTimeCalculator> m_Wait;
    ExchangeRunner m_Exchange;  // every exchange with the target
    std::atomic<NSSequenceProcessorDelegate*> m_delegate{nullptr};
    uint64_t m_dwInitResult = ERR_INIT;  // until initialize succeeds
    bool m_fInvertDtr = false;
    JobKind m_EJob = JOB_WRITE;
    std::atomic<bool> m_fVerbose{false};  // read by stop() on another thread
};
