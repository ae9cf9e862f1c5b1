// The outcome a job of the programming sequence hands back to whoever started it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string_view>

#include "CommandCodes.h"
#include "Exchange.h"

// The job's outcome: its result code and the record of its last command exchange.
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
