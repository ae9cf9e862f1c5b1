// What the command line shows in verbose mode, on one stream: the job's events
// as lines with the time since the program started, the progress of a step (on
// a terminal one line rewritten in place, otherwise one line per tenth), and
// the reason of a failure. Events may come from any thread; each is shown
// where the main dispatch queue runs, in the order they came, so that a slow
// stream never holds up the job.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "AnswerDelay.h"
#include "JobEvents.h"

class VerboseLog : public JobEvents {
public:
    // Shows on pStream; fTerminal: rewrites the progress line in place.
    VerboseLog(std::FILE* pStream, bool fTerminal);

    // "image 3000 bytes, 3 blocks of 1024", and where the runs lie unless the image is one run from 0.
    void imageLoaded(uint64_t dwBytes, uint64_t dwBlocks, const std::vector<FlashRange>& runs) override;
    void imageRefused(const std::string& strProblem) override;
    // Names the adapter's latency timer where the system tells it.
    void portOpened(const char* pszPort, uint64_t dwBaudRate, bool fLowLatency,
                    std::optional<uint64_t> latencyTimer) override;
    void stepBegan(JobStep step) override;
    void progress(JobStep step, uint64_t dwDone, uint64_t dwTotal) override;
    void signatureRead(const DeviceSignature& signature) override;
    void lineSpeedSet(uint64_t dwBaudRate) override;
    void blankChecked(uint64_t dwBlank, uint64_t dwErased) override;
    // Names the run unless the image is one run from 0.
    void checksumsCompared(const FlashRange& run, uint16_t wHost, uint16_t wTarget) override;
    void blockDiffers(const FlashRange& block, uint16_t wHost, uint16_t wTarget) override;
    // Measured, the answers to the data frames: when they come a steady few ms late, a line says so once, with the
    // likely cause and what to do about it on this system.
    void frameSent(const uint8_t* pbFrame, uint64_t dwLength, uint64_t dwMsec) override;
    void answerTaken(const uint8_t* pbFrame, uint64_t dwLength, uint64_t dwMsec) override;
    void noiseDropped(uint64_t dwBytes, const char* pszAnswer) override;
    void imageWritten(uint64_t dwBytes, uint64_t dwMsec) override;
    void stopAsked() override;
    // A failed job's reason, on a line of its own.
    void jobEnded(const _RESULTINFO& result) override;

    // "error 0xNNNN: <meaning> (<command>, attempt N)"; without the part in
    // parentheses when the failure is not a command's (no exchange had begun,
    // or the code is about the port or the image).
    static std::string failureReason(const _RESULTINFO& resultInfo);

private:
    // Posts the line with the time stamp before it.
    void show(std::string strLine);
    // Posts the line, ending an open progress line first; the stamp, when asked for, is taken as it is written.
    void post(std::string strLine, bool fStamped);
    void showProgress(const char* pszStep, uint64_t dwDone, uint64_t dwTotal);
    void endProgressLine();
    std::string stamp() const;

    std::FILE* m_pStream;
    bool m_fTerminal;
    std::chrono::steady_clock::time_point m_Start;
    // Touched on the job's thread only:
    bool m_fNameRuns = false;  // the image is more than one run from 0
    AnswerDelay m_answerDelay;
    std::string m_strPort;  // the port, as the job names it
    bool m_fLowLatency = false;
    // Touched only where the queue runs:
    std::chrono::steady_clock::time_point m_ProgressStart;
    uint64_t m_dwNextTenth = 1;    // the next tenth of the step that gets a line
    bool m_fProgressOpen = false;  // a progress line waits for its line feed
};
