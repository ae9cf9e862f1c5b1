// What one exchange with the target is, as a boot command gives it to the
// runner that carries it out: the frame, the answers the target owes for it,
// its attempts and pauses; and the records an exchange fills.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

// Record of the command exchange under way (or of the last one).
struct _COMMANDINFO {
    uint8_t Command;  // command code
    uint8_t ST1;      // status byte answering a command frame
    uint8_t DST1;     // first status byte answering a data frame
    uint8_t DST2;     // second status byte answering a data frame
    uint64_t Retry;   // index, from 0, of the attempt under way
};

// The target's silicon signature, bytes as received; addresses low byte first.
struct _SILICONSIGNATURE {
    uint8_t DevCode[3];
    uint8_t DevName[11];  // ten characters and a terminating zero
    uint8_t CodeEndAddress[3];
    uint8_t DataEndAddress[3];
    uint8_t FVer[3];
};

// One answer frame the target owes for the frame, in the order it owes them.
struct Answer {
    const char* what;  // names it where noise is dropped before it, e.g. "the answer to Reset"
    uint64_t timeout;  // ms from the write, or from taking the answer before this one
    // Takes the length of the frame now in the command processor's receive
    // buffer; returns 0 when it is the answer owed and says yes, else a code.
    std::function<uint64_t(uint64_t dwLength)> check;
    bool retried = true;  // a timeout makes another attempt; otherwise it ends the exchange
};

// What one exchange is.
struct Exchange {
    // The command whose record (_COMMANDINFO) the exchange begins; none for a
    // data frame, which belongs to the Programming before it.
    std::optional<uint8_t> command;
    // Builds the frame into the transmit buffer; takes the out length, returns a code.
    std::function<uint64_t(uint64_t* cmdLength)> frame;
    std::vector<Answer> answers;
    uint64_t attempts = 0;
    // Sending the frame twice leaves the board as once: a repeat changes nothing.
    bool repeatable = false;
    bool retrySendFailure = false;      // a failed build or write is a failed attempt, not the end
    bool pauseAfterLastAttempt = true;  // the pause and look after a timeout, also on the last attempt
    std::function<void()> sent{};       // after each build and write, whether or not they succeeded
    // Before the first answer is taken, or the exchange gives up without
    // one: a nonzero code it returns ends the exchange.
    std::function<uint64_t()> beforeFirstAnswer{};
};
