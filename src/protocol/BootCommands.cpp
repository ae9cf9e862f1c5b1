#include "BootCommands.h"

#include <memory>
#include <utility>

#include "CommandCodes.h"
#include "NSCommandProcessor.h"
#include "NSWaitingTimeCalculator.h"
#include "ResultCodes.h"

namespace {

constexpr uint8_t ACK = 0x06;
constexpr uint8_t NOT_BLANK = 0x1B;

// Sizes of the answers the target sends, start and end bytes included.
constexpr uint64_t STATUS_FRAME_SIZE = 5;
constexpr uint64_t TWO_STATUS_FRAME_SIZE = 6;
constexpr uint64_t BAUD_RATE_ANSWER_SIZE = 7;
constexpr uint64_t SIGNATURE_FRAME_SIZE = 26;
constexpr uint64_t CHECKSUM_FRAME_SIZE = 6;

// Attempts of an exchange, except Block Blank Check's one.
constexpr uint64_t COM_RETRY_MAX = 5;
constexpr uint64_t BLOCK_SIZE = 1024;

// The blocks of a range whose last address ends a block.
uint64_t blocksOf(uint64_t dwStartAddress, uint64_t endAddress)
{
    return (endAddress - dwStartAddress) / BLOCK_SIZE + 1;
}

// The low, middle and high byte of an address: frames carry it low byte first.
uint8_t low(uint64_t dwAddress) { return static_cast<uint8_t>(dwAddress); }
uint8_t mid(uint64_t dwAddress) { return static_cast<uint8_t>(dwAddress >> 8); }
uint8_t high(uint64_t dwAddress) { return static_cast<uint8_t>(dwAddress >> 16); }

// A status answer that passed its check (rCheck 0) is 0 when it acknowledges,
// otherwise dwRefused; one that failed gives the check's code.
uint64_t statusResult(uint64_t rCheck, bool fAcknowledged, uint64_t dwRefused)
{
    if (rCheck != RESULT_OK) {
        return rCheck;
    }
    return fAcknowledged ? RESULT_OK : dwRefused;
}

}  // namespace

BootCommands::BootCommands(NSCommandProcessor& cmd, const NSWaitingTimeCalculator& timing, _COMMANDINFO& record)
    : m_Cmd(cmd), m_Timing(timing), m_Record(record)
{
}

Exchange BootCommands::BaudRateSet(uint8_t bBaudRate, uint8_t voltage, std::function<uint64_t()> now,
                                   uint64_t dwWindowStart)
{
    auto pdwSentAt = std::make_shared<uint64_t>(dwWindowStart);
    return {
        .command = CMD_BAUD_RATE_SET,
        .frame = [this, bBaudRate,
                  voltage](uint64_t* cmdLength) { return m_Cmd.MakeBaudRateCommand(bBaudRate, voltage, cmdLength); },
        // The short status frame, or the long one that repeats the two settings.
        .answers = {{.what = "the answer to Baud Rate Set",
                     .timeout = NSWaitingTimeCalculator::BAUD_RATE_SET_TIMEOUT,
                     .check =
                         [this](uint64_t dwLength) {
                             uint64_t r = ERR_RECV_TIMEOUT;
                             if (dwLength == STATUS_FRAME_SIZE) {
                                 r = m_Cmd.CheckStatus(&m_Record.ST1);
                             } else if (dwLength == BAUD_RATE_ANSWER_SIZE) {
                                 // The two settings it repeats are checked with the frame and not kept.
                                 uint8_t bD01 = 0;
                                 uint8_t bD02 = 0;
                                 r = m_Cmd.CheckBaudRateStatus(&m_Record.ST1, &bD01, &bD02);
                             } else {
                                 return r;
                             }
                             return statusResult(r, m_Record.ST1 == ACK, ERR_COMMAND_FRAME);
                         }}},
        .attempts = COM_RETRY_MAX,
        .sent = [pdwSentAt, now = std::move(now)] { *pdwSentAt = now(); },
        .beforeFirstAnswer =
            [pdwSentAt, dwWindowStart] {
                return *pdwSentAt - dwWindowStart > NSWaitingTimeCalculator::MODE_ENTRY_WINDOW ? ERR_MODE_ENTRY_TIMEOUT
                                                                                               : RESULT_OK;
            },
    };
}

Exchange BootCommands::Reset()
{
    return {
        .command = CMD_RESET,
        .frame = [this](uint64_t* cmdLength) { return m_Cmd.MakeResetCommand(cmdLength); },
        .answers = {commandStatus("the answer to Reset", m_Timing.GetResetTcs1(), &NSCommandProcessor::CheckResetStatus,
                                  ERR_COMMAND_FRAME)},
        .attempts = COM_RETRY_MAX,
        .repeatable = true,
    };
}

Exchange BootCommands::SiliconSignature(_SILICONSIGNATURE* pSignature)
{
    return {
        .command = CMD_SILICON_SIGNATURE,
        .frame = [this](uint64_t* cmdLength) { return m_Cmd.MakeSiliconSignatureCommand(cmdLength); },
        .answers = {commandStatus("the answer to Silicon Signature", m_Timing.GetSiliconSignatureTcs11(),
                                  &NSCommandProcessor::CheckResetStatus, ERR_COMMAND_FRAME),
                    resultData("the signature data", m_Timing.GetSiliconSignatureTsd11(), SIGNATURE_FRAME_SIZE,
                               [this, pSignature] {
                                   _SILICONSIGNATURE& s = *pSignature;
                                   return m_Cmd.CheckSiliconSignatureDataFrames(s.DevCode, s.DevName, s.CodeEndAddress,
                                                                                s.DataEndAddress, s.FVer);
                               })},
        .attempts = COM_RETRY_MAX,
        .repeatable = true,
    };
}

Exchange BootCommands::BlockBlankCheck(uint64_t dwStartAddress, uint64_t endAddress, bool codeFlash)
{
    const uint64_t dwBlocks = blocksOf(dwStartAddress, endAddress);
    return {
        .command = CMD_BLOCK_BLANK_CHECK,
        .frame =
            [this, s = dwStartAddress, e = endAddress](uint64_t* cmdLength) {
                return m_Cmd.MakeBlockBlankCheckCommand(low(s), mid(s), high(s), low(e), mid(e), high(e), 0x00,
                                                        cmdLength);
            },
        .answers = {commandStatus("the answer to Block Blank Check",
                                  m_Timing.GetBlockBlankCheckTcs4(dwStartAddress, endAddress, dwBlocks, codeFlash),
                                  &NSCommandProcessor::CheckBlockBlankCheckStatus, ERR_NOT_BLANK)},
        .attempts = 1,
        .repeatable = true,
        .pauseAfterLastAttempt = false,
    };
}

Exchange BootCommands::BlockErase(uint64_t dwStartAddress, bool codeFlash)
{
    return {
        .command = CMD_BLOCK_ERASE,
        .frame =
            [this, dwStartAddress](uint64_t* cmdLength) {
                return m_Cmd.MakeBlockEraseCommand(low(dwStartAddress), mid(dwStartAddress), high(dwStartAddress),
                                                   cmdLength);
            },
        .answers = {commandStatus("the answer to Block Erase", m_Timing.GetBlockEraseTcs3(codeFlash),
                                  &NSCommandProcessor::CheckResetStatus, ERR_COMMAND_FRAME)},
        .attempts = COM_RETRY_MAX,
        .repeatable = true,
    };
}

Exchange BootCommands::Programming(uint64_t dwStartAddress, uint64_t endAddress, bool codeFlash)
{
    return {
        .command = CMD_PROGRAMMING,
        .frame = rangeFrame(&NSCommandProcessor::MakeProgrammingCommand, dwStartAddress, endAddress),
        .answers = {commandStatus("the answer to Programming", m_Timing.GetProgrammingTcs5(codeFlash),
                                  &NSCommandProcessor::CheckProgrammingStatus, ERR_COMMAND_FRAME)},
        .attempts = COM_RETRY_MAX,
    };
}

// A failed build, write or wait is another attempt with the same frame, the
// pause only between attempts; so a completion status that does not come in
// time sends the last frame again, which the target takes as the same last
// frame.
Exchange BootCommands::ProgrammingData(const uint8_t* pbPayload, bool finalFrame, uint64_t dwStartAddress,
                                       uint64_t endAddress, bool codeFlash)
{
    std::vector<Answer> answers{
        dataFrameStatus("the answer to a data frame", m_Timing.GetProgrammingTds5(codeFlash), true)};
    if (finalFrame) {
        answers.push_back(dataFrameStatus(
            "the completion status",
            m_Timing.GetProgrammingTss5(dwStartAddress, endAddress, blocksOf(dwStartAddress, endAddress), codeFlash),
            false));
    }
    return {
        .command = std::nullopt,
        .frame =
            [this, pbPayload, finalFrame](uint64_t* cmdLength) {
                return m_Cmd.MakeProgrammingDataFrame(pbPayload, DATA_FRAME_PAYLOAD, finalFrame, cmdLength);
            },
        .answers = std::move(answers),
        .attempts = COM_RETRY_MAX,
        .retrySendFailure = true,
        .pauseAfterLastAttempt = false,
    };
}

Exchange BootCommands::Checksum(uint64_t dwStartAddress, uint64_t endAddress, bool codeFlash, uint8_t* ck1,
                                uint8_t* ck2)
{
    return {
        .command = CMD_CHECKSUM,
        .frame = rangeFrame(&NSCommandProcessor::MakeChecksumCommand, dwStartAddress, endAddress),
        .answers = {commandStatus("the answer to Checksum", m_Timing.GetCheckSumTcs10(codeFlash),
                                  &NSCommandProcessor::CheckVerifyStatus, ERR_COMMAND_FRAME),
                    resultData("the checksum data", m_Timing.GetCheckSumTsd10(blocksOf(dwStartAddress, endAddress)),
                               CHECKSUM_FRAME_SIZE,
                               [this, ck1, ck2] { return m_Cmd.CheckChecksumDataFrams(ck1, ck2); })},
        .attempts = COM_RETRY_MAX,
        .repeatable = true,
    };
}

std::function<uint64_t(uint64_t*)> BootCommands::rangeFrame(RangeBuilder builder, uint64_t dwStartAddress,
                                                            uint64_t endAddress)
{
    return [this, builder, s = dwStartAddress, e = endAddress](uint64_t* cmdLength) {
        return (m_Cmd.*builder)(low(s), mid(s), high(s), low(e), mid(e), high(e), cmdLength);
    };
}

// The answer to a command frame: a status frame with one status byte, into
// the record's ST1, parsed by the command's own parser; a status other than
// ACK (or, for Block Blank Check, NOT_BLANK: dwRefused) is ERR_COMMAND_FRAME.
Answer BootCommands::commandStatus(const char* pszWhat, uint64_t timeout, StatusParser parser, uint64_t dwRefused)
{
    return {.what = pszWhat, .timeout = timeout, .check = [this, parser, dwRefused](uint64_t dwLength) {
                uint8_t& bSt1 = m_Record.ST1;
                if (dwLength != STATUS_FRAME_SIZE) {
                    return ERR_RECV_TIMEOUT;
                }
                const uint64_t r = (m_Cmd.*parser)(&bSt1);
                return statusResult(r, bSt1 == ACK, bSt1 == NOT_BLANK ? dwRefused : ERR_COMMAND_FRAME);
            }};
}

// The status that answers a data frame (one or, where allowed, two status
// bytes), into the record's DST1 and DST2.
Answer BootCommands::dataFrameStatus(const char* pszWhat, uint64_t timeout, bool fTwoBytesAllowed)
{
    return {.what = pszWhat, .timeout = timeout, .check = [this, fTwoBytesAllowed](uint64_t dwLength) {
                if (dwLength == STATUS_FRAME_SIZE) {
                    const uint64_t r = m_Cmd.CheckProgrammingDataFrameStatus(&m_Record.DST1);
                    return statusResult(r, m_Record.DST1 == ACK, ERR_DATA_FRAME);
                }
                if (dwLength == TWO_STATUS_FRAME_SIZE && fTwoBytesAllowed) {
                    const uint64_t r = m_Cmd.CheckProgrammingDataFrameStatus(&m_Record.DST1, &m_Record.DST2);
                    return statusResult(r, m_Record.DST1 == ACK && m_Record.DST2 == ACK, ERR_DATA_FRAME);
                }
                return ERR_RECV_TIMEOUT;
            }};
}

// A data frame of results that follows a command's status: waited for once,
// of one size, then parsed.
Answer BootCommands::resultData(const char* pszWhat, uint64_t timeout, uint64_t dwSize, std::function<uint64_t()> parse)
{
    return {.what = pszWhat,
            .timeout = timeout,
            .check = [dwSize, parse = std::move(parse)](
                         uint64_t dwLength) { return dwLength == dwSize ? parse() : ERR_RECV_TIMEOUT; },
            .retried = false};
}
