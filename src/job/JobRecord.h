// The sequence's record of each job, written from the job's events for a
// delegate: "## Programming Mode\n" as mode entry begins, "## Block Blank
// Check & Erace..." and "## Programming..." as those steps begin and the
// record text of their result as they end, and "## Write Complete" or
// "## Write Failed" as the job ends. Every event also goes on, unchanged, to
// the job's listener. The lines are posted to the main dispatch queue, and
// only while there is a delegate: a job without one formats none.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <string_view>

#include "JobEvents.h"

// Receives the record of each job, line by line in order, wherever the main
// dispatch queue is run.
class NSSequenceProcessorDelegate {
public:
    virtual ~NSSequenceProcessorDelegate() = default;
    // Takes one line of the record.
    virtual void delegateAddLog(const std::string& strLog) = 0;
};

// Must be owned by a std::shared_ptr: a posted line keeps the record alive
// until it has been delivered.
class JobRecord : public JobEvents, public std::enable_shared_from_this<JobRecord> {
public:
    // Passes every event on to listener (not owned).
    explicit JobRecord(JobEvents& listener);

    // The delegate that gets the record, or null.
    NSSequenceProcessorDelegate* delegate() const;
    // Takes the delegate (not owned; null: none); clear it before the delegate goes away.
    void setDelegate(NSSequenceProcessorDelegate* pDelegate);

    void imageLoaded(uint64_t dwBytes, uint64_t dwBlocks, const std::vector<FlashRange>& runs,
                     const char* pszContentFormat) override;
    void imageRefused(const std::string& strProblem) override;
    void portOpened(const char* pszPort, uint64_t dwBaudRate, bool fLowLatency,
                    std::optional<uint64_t> latencyTimer) override;
    void stepBegan(JobStep step) override;
    void stepEnded(JobStep step, uint64_t dwResult) override;
    void progress(JobStep step, uint64_t dwDone, uint64_t dwTotal) override;
    void signatureRead(const DeviceSignature& signature) override;
    void lineSpeedSet(uint64_t dwBaudRate) override;
    void blankChecked(uint64_t dwBlank, uint64_t dwErased) override;
    void checksumsCompared(const FlashRange& run, uint16_t wHost, uint16_t wTarget) override;
    void blockDiffers(const FlashRange& block, uint16_t wHost, uint16_t wTarget) override;
    void frameSent(const uint8_t* pbFrame, uint64_t dwLength, uint64_t dwMsec) override;
    void answerTaken(const uint8_t* pbFrame, uint64_t dwLength, uint64_t dwMsec) override;
    void noiseDropped(uint64_t dwBytes, const char* pszAnswer) override;
    void imageWritten(uint64_t dwBytes, uint64_t dwMsec) override;
    void provingAgain(uint64_t dwQuietMsec) override;
    void stopAsked() override;
    void jobEnded(const _RESULTINFO& result) override;

private:
    // Posts the line for the delegate without waiting for its delivery; without a delegate, does nothing.
    void addLog(std::string_view strLog);

    JobEvents& m_Listener;
    std::atomic<NSSequenceProcessorDelegate*> m_delegate{nullptr};
};
