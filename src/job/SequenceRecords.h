// The records the programming sequence shares with whoever starts it: the
// context a driver builds and hands to a job, and the outcome the job hands
// back.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string_view>

// Record of the command exchange under way (or of the last one).
struct _COMMANDINFO {
    uint8_t Command;  // command code
    uint8_t ST1;      // status byte answering a command frame
    uint8_t DST1;     // first status byte answering a data frame
    uint8_t DST2;     // second status byte answering a data frame
    uint64_t Retry;   // index, from 0, of the attempt under way
};

// The command code of a record whose job failed before any command exchange
// began (Reset's code is 0, so 0 cannot say it).
inline constexpr uint8_t NO_COMMAND = 0xFF;

// The job's outcome, written through _CONTEXTINFO::pResultInfo.
struct _RESULTINFO {
    uint64_t Result;
    _COMMANDINFO ComInfo;
    bool DeviceGone = false;     // the serial device went away during the job
    bool UnaskedAnswer = false;  // the target sent an answer that no frame asked for
    char Reason[160] = {};       // what happened, where the code's meaning says less (a stop, the port's open); or ""

    // Takes strReason as the Reason, cut to what the field holds.
    void setReason(std::string_view strReason)
    {
        const size_t length = std::min(strReason.size(), sizeof Reason - 1);
        std::copy_n(strReason.data(), length, Reason);
        Reason[length] = '\0';
    }
};

// The image file; the images and their sizes are the loader's.
struct _TARGETFILEINFO {
    char FilePath[1024];  // UTF-8, zero-terminated
};

// The target's silicon signature, bytes as received; addresses low byte first.
struct _SILICONSIGNATURE {
    uint8_t DevCode[3];
    uint8_t DevName[11];  // ten characters and a terminating zero
    uint8_t CodeEndAddress[3];
    uint8_t DataEndAddress[3];
    uint8_t FVer[3];
};

// The programming context: built by the command driver, copied by `start`.
struct _CONTEXTINFO {
    uint8_t BaudRate;  // link-speed code 0..3 of Baud Rate Set
    _RESULTINFO* pResultInfo;
    char PortName[1024];  // UTF-8, zero-terminated
    _TARGETFILEINFO TargetFileInfo;
    _SILICONSIGNATURE SiliconSignature;
    _COMMANDINFO ComInfo;
    uint64_t TransitionStartTime;  // ms: DTR back to idle during mode entry
    uint64_t TransitionEndTime;    // ms: last Baud Rate Set frame sent
    uint64_t ComRetryMax;          // attempts of a command exchange
    uint64_t RetryWaitTime;        // ms after a failed attempt
    uint64_t SendWait;             // ms before each frame and between line changes
    uint64_t ReceiveTimeout;       // ms: status timeout of Baud Rate Set
};
