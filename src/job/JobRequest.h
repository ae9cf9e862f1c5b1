// A job as the command line asks for it: plain data that option parsing fills
// and the command driver runs. What a new option asks becomes a new field.
#pragma once

#include <cstdint>
#include <string>

// What a job does with the board once it is in programming mode.
enum JobKind : uint8_t {
    JOB_WRITE,   // blank check and erase the image's blocks, program its runs, compare their checksums
    JOB_VERIFY,  // compare the board's checksum of each block the image touches with the image's
    JOB_INFO,    // nothing: the silicon signature that mode entry read is the answer
    JOB_ERASE,   // blank check every block of the flashes asked for, erase those not blank
};

// The flashes an erase job erases.
enum FlashSet : uint8_t {
    FLASH_CODE,  // the code flash (--erase, --erase=code)
    FLASH_DATA,  // the data flash (--erase=data); a board without one fails the job
    FLASH_ALL,   // both, or the code flash alone on a board without a data flash (--erase=all)
};

// Whether a job of this kind reads an image.
inline bool readsImage(JobKind kind) { return kind == JOB_WRITE || kind == JOB_VERIFY; }

// What a job does on the board: its kind and the options that shape its steps.
struct JobPlan {
    JobKind kind = JOB_WRITE;
    bool fVerifyBlocks = false;          // a write ends comparing each block, not each run (--verify-blocks)
    FlashSet eraseFlashes = FLASH_CODE;  // the flashes an erase job erases
};

struct JobRequest {
    JobPlan plan = {};
    std::string strImagePath;  // the image file, for the kinds that read one
    std::string strPortName;   // the serial device the board is on
    uint8_t bBaudRate = 0;     // the Baud Rate Set code of the line speed after mode entry
    bool fVerbose = false;     // show the job's steps, its progress and the reason of a failure
};
