// What a job tells of itself while it runs, as typed events: each step as it
// begins, its progress, what mode entry learnt, what it dropped, and its end
// with its outcome. The sequence calls these on the job's thread (stopAsked on
// the thread that asked); a front end implements the ones it shows. Each does
// nothing unless overridden (JobEvents.cpp), so a job that nobody listens to
// pays one empty call per event and formats nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "DeviceSignature.h"
#include "SequenceRecords.h"

// The steps of a job, in the order a write takes them.
enum class JobStep : uint8_t {
    MODE_ENTRY,           // DTR and break, then Baud Rate Set, Reset and Silicon Signature
    MODE_ENTRY_INVERTED,  // the same again with the other DTR polarity, the target not having answered
    ERASE,                // each block blank-checked, and erased where it is not blank
    PROGRAM,              // each run: the Programming command and its data frames
    COMPARE,              // the target's Checksum of each run (or block) compared with the host's
};

// Consecutive 1024-byte blocks of one flash that a step works on.
struct FlashRange {
    bool codeFlash;    // the code flash from address 0, else the data flash from 0xF1000
    uint64_t dwStart;  // the address of its first byte
    uint64_t dwEnd;    // the address of its last byte, the last of a block
};

class JobEvents {
public:
    virtual ~JobEvents() = default;

    // The image is loaded: dwBytes in its runs (code first, then data), taking
    // dwBlocks blocks of 1024; pszContentFormat names its format where its
    // content rather than its extension said it, else null.
    virtual void imageLoaded(uint64_t dwBytes, uint64_t dwBlocks, const std::vector<FlashRange>& runs,
                             const char* pszContentFormat);
    // The image is refused before the port opens; strProblem says where the file is at fault.
    virtual void imageRefused(const std::string& strProblem);
    // The port pszPort is open at dwBaudRate; fLowLatency when its driver granted its lowest latency;
    // latencyTimer: the adapter's latency timer in ms, where the system tells it.
    virtual void portOpened(const char* pszPort, uint64_t dwBaudRate, bool fLowLatency,
                            std::optional<uint64_t> latencyTimer);
    // The step begins.
    virtual void stepBegan(JobStep step);
    // The erase or the program step ended with the result code dwResult.
    virtual void stepEnded(JobStep step, uint64_t dwResult);
    // The step has done dwDone of its dwTotal bytes (0 as it begins).
    virtual void progress(JobStep step, uint64_t dwDone, uint64_t dwTotal);
    // Mode entry has read the target's signature.
    virtual void signatureRead(const DeviceSignature& signature);
    // The line runs at dwBaudRate from now on.
    virtual void lineSpeedSet(uint64_t dwBaudRate);
    // The blank check is done: dwBlank blocks were blank, dwErased were erased.
    virtual void blankChecked(uint64_t dwBlank, uint64_t dwErased);
    // The checksums of a run compared: the low 16 bits of the host's, and the target's.
    virtual void checksumsCompared(const FlashRange& run, uint16_t wHost, uint16_t wTarget);
    // Compared block by block, the block is the first whose checksums differ: the host's and the target's.
    virtual void blockDiffers(const FlashRange& block, uint16_t wHost, uint16_t wTarget);
    // A frame went out on the line at dwMsec (the job's clock): its dwLength bytes.
    virtual void frameSent(const uint8_t* pbFrame, uint64_t dwLength, uint64_t dwMsec);
    // An answer frame was taken at dwMsec, whole, as the answer to the frame before it: its dwLength bytes.
    virtual void answerTaken(const uint8_t* pbFrame, uint64_t dwLength, uint64_t dwMsec);
    // dwBytes that cannot begin an answer were dropped before pszAnswer ("the answer to Reset").
    virtual void noiseDropped(uint64_t dwBytes, const char* pszAnswer);
    // A frame went out more than once: after dwQuietMsec ms of quiet line the job proves its result again.
    virtual void provingAgain(uint64_t dwQuietMsec);
    // The image is written and verified: the dwBytes of its runs, dwMsec after the job began.
    virtual void imageWritten(uint64_t dwBytes, uint64_t dwMsec);
    // From the thread that asked: the job is to stop, and ends at its next wait.
    virtual void stopAsked();
    // The job has ended; result holds its code and, for a failure, all that tells why.
    virtual void jobEnded(const _RESULTINFO& result);
};
