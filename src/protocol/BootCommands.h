// The boot commands, one function each: each returns the exchange the
// command is (its frame, the answers it is owed with their sizes, parsers and
// status meanings, their timeouts, its attempts and whether sending it twice
// leaves the board as it was). Nothing is sent here; an exchange is run by
// the job's runner. The status bytes an answer carries go into the command
// record, the data it carries to where the caller points.
//
// A new command is one function here, its timeout in NSWaitingTimeCalculator
// and its frame in NSCommandProcessor.
#pragma once

#include <cstdint>
#include <functional>

#include "Exchange.h"

class NSCommandProcessor;
class NSWaitingTimeCalculator;

class BootCommands {
public:
    // Builds and checks frames with cmd, takes timeouts from timing, and
    // writes the status bytes of each answer into record; none is owned.
    BootCommands(NSCommandProcessor& cmd, const NSWaitingTimeCalculator& timing, _COMMANDINFO& record);

    // Ranges are given by the address of their first byte and of their last,
    // the last of a block; codeFlash picks the code flash's timeouts, else the
    // data flash's.

    // Baud Rate Set of the speed code and voltage byte, answered by a short
    // status or a long one that repeats both. Mode entry's rule: only an
    // answer to a frame sent within the mode-entry window after
    // dwWindowStart (on the clock `now`) counts, else ERR_MODE_ENTRY_TIMEOUT;
    // a later answer stays in the buffer for the next mode entry to discard.
    Exchange BaudRateSet(uint8_t bBaudRate, uint8_t voltage, std::function<uint64_t()> now, uint64_t dwWindowStart);
    Exchange Reset();
    // The signature data goes into *pSignature.
    Exchange SiliconSignature(_SILICONSIGNATURE* pSignature);
    // One attempt, no pause after it; a block found not blank ends it with ERR_NOT_BLANK.
    Exchange BlockBlankCheck(uint64_t dwStartAddress, uint64_t endAddress, bool codeFlash);
    // The block that begins at the address.
    Exchange BlockErase(uint64_t dwStartAddress, bool codeFlash);
    Exchange Programming(uint64_t dwStartAddress, uint64_t endAddress, bool codeFlash);
    // One 256-byte data frame of the Programming of the range; the final frame
    // is also owed the completion status. A failed write is another attempt.
    Exchange ProgrammingData(const uint8_t* pbPayload, bool finalFrame, uint64_t dwStartAddress, uint64_t endAddress,
                             bool codeFlash);
    // CK1 and CK2 of the target's checksum go into *ck1 and *ck2.
    Exchange Checksum(uint64_t dwStartAddress, uint64_t endAddress, bool codeFlash, uint8_t* ck1, uint8_t* ck2);

    // The bytes of one data frame.
    static constexpr uint32_t DATA_FRAME_PAYLOAD = 256;

private:
    using StatusParser = uint64_t (NSCommandProcessor::*)(uint8_t* pbSt1);
    // A command frame of a start and an end address.
    using RangeBuilder = uint64_t (NSCommandProcessor::*)(uint8_t bSal, uint8_t bSam, uint8_t bSah, uint8_t bEal,
                                                          uint8_t bEam, uint8_t bEah, uint64_t* cmdLength);

    std::function<uint64_t(uint64_t*)> rangeFrame(RangeBuilder builder, uint64_t dwStartAddress, uint64_t endAddress);
    Answer commandStatus(const char* pszWhat, uint64_t timeout, StatusParser parser, uint64_t dwRefused);
    Answer dataFrameStatus(const char* pszWhat, uint64_t timeout, bool fTwoBytesAllowed);
    static Answer resultData(const char* pszWhat, uint64_t timeout, uint64_t dwSize, std::function<uint64_t()> parse);

    NSCommandProcessor& m_Cmd;
    const NSWaitingTimeCalculator& m_Timing;
    _COMMANDINFO& m_Record;
};
