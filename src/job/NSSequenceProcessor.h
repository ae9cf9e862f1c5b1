// The programming sequence: one procedure per protocol exchange with the
// target, and the jobs (write, verify, erase, info), each a short list of
// steps over the runs of blocks that an image touches in either flash (or,
// for an erase, over whole flashes), run by `programming`. It tells what
// happens through its JobEvents, from which its record of each job (the
// headings and result texts of its steps) is written for a delegate, if there
// is one. Each exchange is the one a boot command gives (BootCommands), run
// by the ExchangeRunner.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "BootCommands.h"
#include "ExchangeRunner.h"
#include "FlashRun.h"
#include "JobEvents.h"
#include "JobRecord.h"
#include "JobRequest.h"
#include "NSCommandProcessor.h"
#include "NSSerialPortProcessor.h"
#include "NSTargetFile.h"
#include "NSWaitingTimeCalculator.h"
#include "ResultCodes.h"
#include "SequenceRecords.h"

class NSSequenceProcessor {
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

    // Runs the job the request asks for; returns its outcome.
    _RESULTINFO start(const JobRequest& request);
    // From any thread: the job ends at its next wait, as on a line that went
    // dead, and its end steps run; a job that fails from then on ends with
    // ERR_RECV_TIMEOUT and the reason "stopped by " and pszCause ("SIGINT", a
    // text that lives as long as the program). Also before the job has started.
    void stop(const char* pszCause);
    // The signature that the last mode entry read.
    DeviceSignature signature() const;

private:
    // Runs the exchange a boot command gives, beginning the command's record.
    uint64_t exchange(const Exchange& exchange);

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
    uint64_t checkRange();
    uint64_t flashesToErase(std::vector<FlashRun>* pRuns);
    uint64_t enterProgrammingMode();
    uint64_t blankCheckAndErase(const std::vector<FlashRun>& runs, bool fEraseJob);
    uint64_t programRuns(const std::vector<FlashRun>& runs);
    uint64_t compareChecksums(const std::vector<FlashRun>& runs, bool fEachBlock);
    uint64_t proveAgain(const std::vector<FlashRun>& runs);
    // The step under way counts its progress over dwTotal bytes, from 0.
    void beginProgress(JobStep step, uint64_t dwTotal);
    // dwBytes more of the step under way are done: tells its progress.
    void advanceProgress(uint64_t dwBytes);

    // Mode entry and link set-up.
    uint64_t programingMode(uint8_t bBaudRate, uint8_t voltage, uint8_t InvertDTR);
    void driveDtr(bool fActive, bool fInvert);
    uint64_t comBaudRateSetProc(uint8_t bBaudRate, uint8_t voltage, uint64_t dwWindowStart);
    uint64_t comResetProc();
    uint64_t comSiliconSignatureProc();

    // Flash blocks, programming and checksum: each the exchange of its command.
    uint64_t comBlockBlankCheckProc(const FlashRun& run);
    uint64_t comBlockEraseProc(uint64_t dwStartAddress, bool codeFlash);
    uint64_t comProgrammingProc(const FlashRun& run);
    uint64_t comChecksum(const FlashRun& part, uint8_t* ck1, uint8_t* ck2);

    std::unique_ptr<NSCommandProcessor> m_Cmd;
    std::unique_ptr<NSSerialPortProcessor> m_ComPort;
    std::unique_ptr<NSTargetFile> m_TargetFile;
    std::unique_ptr<NSWaitingTimeCalculator> m_Wait;
    const std::shared_ptr<JobRecord> m_pRecord;  // hears every event first, and passes it on
    JobEvents* const m_pEvents;                  // the record
    _COMMANDINFO m_ComInfo{};                    // of the exchange under way, or the last one
    _SILICONSIGNATURE m_Signature{};             // as the last mode entry read it
    BootCommands m_Commands;
    ExchangeRunner m_Exchange;  // every exchange with the target
    uint64_t m_dwInitResult;    // of the frame buffers' allocation: every job is refused when it failed
    bool m_fInvertDtr = false;
    const JobRequest* m_pRequest = nullptr;  // the job under way
    struct {
        JobStep step;
        uint64_t dwDone;
        uint64_t dwTotal;
    } m_Progress{JobStep::PROGRAM, 0, 0};              // of the step under way
    std::atomic<const char*> m_pszStopCause{nullptr};  // set by stop() on another thread
    std::string m_strReason;                           // what a failure's code does not say, as it happens
};
