// The programming sequence: one procedure per protocol exchange with the
// target, and the jobs (write, verify, erase, info), each a short list of
// steps over the runs of blocks that an image touches in either flash (or,
// for an erase, over whole flashes), run by `programming`. It tells what
// happens through its JobEvents, and offers its record of each job (the
// headings and result texts of its steps) to a delegate, if there is one.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ExchangeRunner.h"
#include "JobEvents.h"
#include "JobRequest.h"
#include "NSCommandProcessor.h"
#include "NSSerialPortProcessor.h"
#include "NSTargetFile.h"
#include "NSWaitingTimeCalculator.h"
#include "ResultCodes.h"
#include "SequenceRecords.h"

// Receives the sequence's record of each job ("## Programming Mode\n", the
// result texts of its steps, "## Write Complete"), line by line in order,
// wherever the main dispatch queue is run.
class NSSequenceProcessorDelegate {
public:
    virtual ~NSSequenceProcessorDelegate() = default;
    // Takes one line of the record.
    virtual void delegateAddLog(const std::string& strLog) = 0;
};

// Must be owned by a std::shared_ptr: a posted log line keeps the sequence
// alive until it has been delivered.
class NSSequenceProcessor : public std::enable_shared_from_this<NSSequenceProcessor> {
public:
    // Works on the given port; tells pEvents (not owned; null: nobody) what each job does.
    NSSequenceProcessor(std::unique_ptr<NSSerialPortProcessor> pComPort, JobEvents* pEvents);
    NSSequenceProcessor(const NSSequenceProcessor&) = delete;
    NSSequenceProcessor& operator=(const NSSequenceProcessor&) = delete;
    ~NSSequenceProcessor();

    // The delegate that gets the record of each job, or null.
    NSSequenceProcessorDelegate* delegate() const;
    // Takes the delegate (not owned; null: none); clear it before the delegate goes away.
    void setDelegate(NSSequenceProcessorDelegate* pDelegate);

    // Runs one job as planned on a copy of the context; returns its result
    // code, which it has also left in *contextInfo.pResultInfo.
    uint64_t start(_CONTEXTINFO contextInfo, JobPlan plan = {});
    // From any thread: the job ends at its next wait, as on a line that went
    // dead, and its end steps run; a job that fails from then on ends with
    // ERR_RECV_TIMEOUT and the reason "stopped by " and pszCause ("SIGINT", a
    // text that lives as long as the program). Also before the job has started.
    void stop(const char* pszCause);
    // The signature that the last mode entry read.
    DeviceSignature signature() const;

private:
    using StatusParser = uint64_t (NSCommandProcessor::*)(uint8_t* pbSt1);

    // Prepares the frame buffers. When that fails every later job is refused
    // with ERR_INIT before the port is opened.
    uint64_t initialize();
    void initCommandInfo(uint8_t bCommand);
    static std::string_view getResultText(uint64_t dwResult);
    // Posts the line for the delegate without waiting for its delivery; without a delegate, does nothing.
    void addLog(std::string_view strLog);

    // Consecutive blocks of one flash that a step works on: a run of the
    // image with its bytes (the last block counted as padded with 0xFF where
    // they end inside it), or for an erase job a whole flash, without bytes.
    struct FlashRun {
        bool codeFlash;
        uint64_t dwStartAddress;  // the start of a block
        const uint8_t* pbBytes;   // null in an erase job
        uint64_t dwLength;
        uint64_t blocks() const;
        uint64_t endAddress() const;  // the last address of its last block
        FlashRange range() const;
    };
    // The steps that jobs are lists of.
    enum class Step {
        CHECK_RANGE,            // the image's sizes against the flashes' from the signature
        BLANK_CHECK_AND_ERASE,  // each block of each run blank-checked, erased where not blank
        ERASE_AND_PROVE,        // the same, then each flash with an erased block blank-checked whole
        PROGRAM,                // each run programmed
        COMPARE_RUNS,           // each run's checksum compared
        COMPARE_BLOCKS,         // each block's checksum compared
    };

    // The job: its settings, its steps, its end steps.
    uint64_t programming();
    uint64_t runJob();
    static std::vector<Step> stepsOf(const JobPlan& plan);
    uint64_t runStep(Step step, const std::vector<FlashRun>& runs);
    std::vector<FlashRun> imageRuns() const;
    uint64_t flashesToErase(std::vector<FlashRun>* pRuns);
    // The bytes of the runs, and the blocks they span.
    static uint64_t bytesOf(const std::vector<FlashRun>& runs);
    static uint64_t blocksOf(const std::vector<FlashRun>& runs);
    uint64_t enterProgrammingMode();
    uint64_t checkSizeAndAddressRange(uint64_t dwProgramStartAddress, uint64_t programSize, uint64_t dataStartAddress,
                                      uint64_t dataSize);
    uint64_t blankCheckAndErase(const std::vector<FlashRun>& runs, bool fEraseJob);
    uint64_t programRuns(const std::vector<FlashRun>& runs);
    uint64_t compareChecksums(const std::vector<FlashRun>& runs, bool fEachBlock);
    uint64_t compareChecksum(const FlashRun& part, uint16_t* pwHost, uint16_t* pwTarget);
    uint64_t flashSize(bool codeFlash) const;
    // The step under way counts its progress over dwTotal bytes, from 0.
    void beginProgress(JobStep step, uint64_t dwTotal);
    // dwBytes more of the step under way are done: tells its progress.
    void advanceProgress(uint64_t dwBytes);

    // Mode entry and link set-up.
    uint64_t programingMode(uint8_t bBaudRate, uint8_t voltage, uint8_t InvertDTR);
    void driveDtr(bool fActive, bool fInvert);
    uint64_t comBaudRateSetProc(uint8_t bBaudRate, uint8_t voltage);
    uint64_t comResetProc();
    uint64_t comSiliconSignatureProc();

    // Flash blocks, programming and checksum.
    uint64_t comBlockBlankCheckProc(uint64_t dwStartAddress, bool codeFlash);
    uint64_t blankCheck(uint64_t dwStartAddress, uint64_t endAddress, uint64_t dwBlocks, bool codeFlash);
    uint64_t comBlockEraseProc(uint64_t dwStartAddress, bool codeFlash);
    uint64_t comProgrammingProc(uint64_t dwStartAddress, uint64_t endAddress, const uint8_t* data, uint64_t dataLength,
                                bool codeFlash);
    uint64_t sendProgrammingDataFrame(const uint8_t* pbPayload, bool finalFrame, uint64_t dwTds, uint64_t dwTss);
    uint64_t comChecksum(uint64_t dwStartAddress, uint64_t endAddress, uint8_t* ck1, uint8_t* ck2, bool codeFlash);
    uint64_t getChecksum(const uint8_t* pbData, uint64_t size, uint32_t* checksum);

    // The answers the exchanges are owed, and the waits.
    static uint64_t statusResult(uint64_t rCheck, bool fAcknowledged, uint64_t dwRefused);
    ExchangeRunner::Answer commandStatus(const char* pszWhat, uint64_t timeout, StatusParser parser);
    ExchangeRunner::Answer dataFrameStatus(const char* pszWhat, uint64_t timeout, bool fTwoBytesAllowed);
    static ExchangeRunner::Answer resultData(const char* pszWhat, uint64_t timeout, uint64_t dwSize,
                                             std::function<uint64_t()> parse);
    // Sleeps on the port's millisecond clock for more than dwMsec ms; returns the ms that passed.
    uint64_t wait(uint64_t dwMsec);
    // Joins three address bytes, low byte first, into an address.
    uint64_t makeAddress(uint8_t bLow, uint8_t bMid, uint8_t bHigh) const;
    uint64_t splitAddress(uint64_t dwAddress, uint8_t* high, uint8_t* mid, uint8_t* low) const;

    std::unique_ptr<NSCommandProcessor> m_Cmd;
    _CONTEXTINFO m_ContextInfo{};
    std::unique_ptr<NSSerialPortProcessor> m_ComPort;
    std::unique_ptr<NSTargetFile> m_TargetFile;
    std::unique_ptr<NSWaitingTimeCalculator> m_Wait;
    JobEvents* const m_pEvents;  // never null: nobody's are JobEvents' own, which do nothing
    ExchangeRunner m_Exchange;   // every exchange with the target
    std::atomic<NSSequenceProcessorDelegate*> m_delegate{nullptr};
    uint64_t m_dwInitResult = ERR_INIT;  // until initialize succeeds
    bool m_fInvertDtr = false;
    JobPlan m_Plan;
    struct {
        JobStep step;
        uint64_t dwDone;
        uint64_t dwTotal;
    } m_Progress{JobStep::PROGRAM, 0, 0};              // of the step under way
    std::atomic<const char*> m_pszStopCause{nullptr};  // set by stop() on another thread
    std::string m_strReason;                           // what a failure's code does not say, as it happens
};
