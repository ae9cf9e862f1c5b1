// What the command line shows of a job, on one stream: in verbose mode the
// job's events as lines with the time since the program started, the progress
// of a step (on a terminal one line rewritten in place, otherwise one line per
// tenth; a write's blank check only on a terminal), and the reason of a
// failure; with the frames, also each frame sent and received. On a terminal
// without verbose mode, one status line rewritten in place (the step, its
// progress, rate and time left), cleared at the end, and a failure's reason.
// Events may come from any thread; each is shown where the main dispatch queue
// runs, in the order they came, so that a slow stream never holds up the job.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "AnswerDelay.h"
#include "JobEvents.h"

class VerboseLog : public JobEvents {
public:
    // What is shown.
    enum Detail {
        STATUS_LINE,  // one status line, on a terminal only
        STEPS,        // the events, the progress and the reason of a failure (-v)
        FRAMES,       // and each frame sent and received (-vv)
    };

    // Shows on pStream; fTerminal: rewrites the progress line in place.
    VerboseLog(std::FILE* pStream, bool fTerminal, Detail detail);

    // "image 3000 bytes, 3 blocks of 1024", and where the runs lie unless the image is one run from 0.
    void imageLoaded(uint64_t dwBytes, uint64_t dwBlocks, const std::vector<FlashRange>& runs,
                     const char* pszContentFormat) override;
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
    // "> 01 03 9A 00 00 63 03" with the time it went; a frame longer than 16
    // bytes as its first 8 and last 4 bytes and its length. Measured too, the
    // answers to the data frames: when they come a steady few ms late, a line
    // says so once, with the likely cause and what to do about it on this system.
    void frameSent(const uint8_t* pbFrame, uint64_t dwLength, uint64_t dwMsec) override;
    // "< 02 01 06 F9 03", as a frame sent is shown.
    void answerTaken(const uint8_t* pbFrame, uint64_t dwLength, uint64_t dwMsec) override;
    void noiseDropped(uint64_t dwBytes, const char* pszAnswer) override;
    void provingAgain(uint64_t dwQuietMsec) override;
    void imageWritten(uint64_t dwBytes, uint64_t dwMsec) override;
    void stopAsked() override;
    // Ends the progress or status line; a failed job's reason, on a line of its own.
    void jobEnded(const _RESULTINFO& result) override;

    // "error 0xNNNN: <meaning> (<command>, attempt N)"; without the part in
    // parentheses when the failure is not a command's (no exchange had begun,
    // or the code is about the port or the image).
    static std::string failureReason(const _RESULTINFO& resultInfo);

private:
    // Posts the line with the time stamp before it, unless there is only a status line.
    void show(std::string strLine);
    // Posts the step's name as the status line, if there is one.
    void showStatus(JobStep step);
    // With the frames: posts the frame, direction first, stamped now.
    void showFrame(const char* pszDirection, const uint8_t* pbFrame, uint64_t dwLength);
    // Posts the line, ending an open progress line first; the stamp, when asked for, is taken as it is written.
    void post(std::string strLine, bool fStamped);
    void showProgress(const char* pszStep, uint64_t dwDone, uint64_t dwTotal);
    void endProgressLine();
    std::string stamp() const;

    std::FILE* m_pStream;
    bool m_fTerminal;
    Detail m_detail;
    std::chrono::steady_clock::time_point m_Start;
    // Touched on the job's thread only:
    bool m_fNameRuns = false;  // the image is more than one run from 0
    bool m_fWrite = false;     // an image was loaded, so the erase step is a write's blank check
    AnswerDelay m_answerDelay;
    std::string m_strPort;  // the port, as the job names it
    bool m_fLowLatency = false;
    // Touched only where the queue runs:
    std::chrono::steady_clock::time_point m_ProgressStart;
    uint64_t m_dwNextTenth = 1;    // the next tenth of the step that gets a line
    bool m_fProgressOpen = false;  // a progress line waits for its line feed (the status line: to be cleared)
};
