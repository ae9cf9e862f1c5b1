#include "NSCommandProcessor.h"

#include <algorithm>
#include <new>

#include "CommandCodes.h"
#include "ResultCodes.h"

namespace {

constexpr uint8_t SOH = 0x01;
constexpr uint8_t STX = 0x02;
constexpr uint8_t ETX = 0x03;
constexpr uint8_t ETB = 0x17;

constexpr uint8_t BAUD_RATE_CODE_MAX = 3;
constexpr uint32_t DATA_LENGTH_MAX = 256;

constexpr uint8_t SIGNATURE_DATA_LENGTH = 22;
constexpr uint8_t CHECKSUM_DATA_LENGTH = 2;
constexpr uint64_t DEVICE_NAME_LENGTH = 10;

}  // namespace

uint64_t NSCommandProcessor::Initialize()
{
    m_pbCmdFlames.reset(new (std::nothrow) uint8_t[FRAME_BUFFER_SIZE]());
    m_pbDataFlames.reset(new (std::nothrow) uint8_t[FRAME_BUFFER_SIZE]());
    if (m_pbCmdFlames == nullptr || m_pbDataFlames == nullptr) {
        m_pbCmdFlames.reset();
        m_pbDataFlames.reset();
        return ERR_INIT;
    }
    return RESULT_OK;
}

uint8_t* NSCommandProcessor::GetCommandFrames() { return m_pbCmdFlames.get(); }

uint8_t* NSCommandProcessor::GetDataFrames() { return m_pbDataFlames.get(); }

uint8_t NSCommandProcessor::getCheckSum(const uint8_t* pbData, int32_t startIndex, int32_t count)
{
    uint8_t bSum = 0;
    for (int32_t i = startIndex; i < startIndex + count; ++i) {
        bSum = static_cast<uint8_t>(bSum - pbData[i]);
    }
    return bSum;
}

// A frame's length byte counts its data bytes; 0x00 reads as none here, so a
// 256-byte data frame, which the target never sends as an answer, gives 4.
NSCommandProcessor::AnswerFrame NSCommandProcessor::locateAnswerFrame(const uint8_t* pbData, uint64_t dwCount)
{
    const uint64_t dwStart = static_cast<uint64_t>(std::find(pbData, pbData + dwCount, STX) - pbData);
    return AnswerFrame{dwStart, dwCount - dwStart >= 2 ? pbData[dwStart + 1] + uint64_t{4} : 0};
}

uint64_t NSCommandProcessor::buildFrame(uint8_t bStart, std::span<const uint8_t> payload, uint8_t bEnd, bool fValid,
                                        uint64_t* cmdLength)
{
    *cmdLength = 0;
    uint8_t* pbFrame = m_pbCmdFlames.get();
    if (pbFrame == nullptr) {
        return ERR_INIT;
    }
    std::fill_n(pbFrame, FRAME_BUFFER_SIZE, uint8_t{0});
    if (!fValid) {
        return ERR_PARAMETER;
    }
    // Callers keep the payload at 256 bytes or less, so the frame fits the 260-byte buffer.
    const uint64_t sumOffset = payload.size() + 2;
    pbFrame[0] = bStart;
    pbFrame[1] = static_cast<uint8_t>(payload.size());  // a 256-byte payload is sent as 0x00
    std::copy(payload.begin(), payload.end(), pbFrame + 2);
    pbFrame[sumOffset] = getCheckSum(pbFrame, 1, static_cast<int32_t>(payload.size()) + 1);
    pbFrame[sumOffset + 1] = bEnd;
    *cmdLength = sumOffset + 2;
    return RESULT_OK;
}

uint64_t NSCommandProcessor::makeCommandFrame(std::initializer_list<uint8_t> codeAndData, uint64_t* cmdLength,
                                              bool fValid)
{
    return buildFrame(SOH, std::span<const uint8_t>(codeAndData.begin(), codeAndData.size()), ETX, fValid, cmdLength);
}

uint64_t NSCommandProcessor::makeAddressRangeCommand(uint8_t bCommand, uint8_t bSal, uint8_t bSam, uint8_t bSah,
                                                     uint8_t bEal, uint8_t bEam, uint8_t bEah, uint64_t* cmdLength)
{
    return makeCommandFrame({bCommand, bSal, bSam, bSah, bEal, bEam, bEah}, cmdLength);
}

uint64_t NSCommandProcessor::makeDataFrame(const uint8_t* pbData, uint32_t length, bool finalFrame, uint64_t* cmdLength)
{
    // An empty frame is refused: its length byte 0x00 would read as 256 bytes on the wire.
    const bool fValid = length >= 1 && length <= DATA_LENGTH_MAX;
    return buildFrame(STX, std::span<const uint8_t>(pbData, fValid ? length : 0U), finalFrame ? ETX : ETB, fValid,
                      cmdLength);
}

uint64_t NSCommandProcessor::checkStatusFrame(uint8_t bLength) const
{
    const uint8_t* pbFrame = m_pbDataFlames.get();
    if (pbFrame == nullptr) {
        return ERR_INIT;
    }
    if (pbFrame[0] != STX || pbFrame[1] != bLength || pbFrame[bLength + 3] != ETX) {
        return ERR_FRAME_FORMAT;
    }
    if (getCheckSum(pbFrame, 1, bLength + 1) != pbFrame[bLength + 2]) {
        return ERR_SUM;
    }
    return RESULT_OK;
}

uint64_t NSCommandProcessor::checkResultDataFrame(uint8_t bLength) const
{
    const uint8_t* pbFrame = m_pbDataFlames.get();
    if (pbFrame == nullptr) {
        return ERR_INIT;
    }
    // The length comes from the frame: at most 255, so the end byte at L + 3 stays inside the buffer.
    const uint8_t bReceivedLength = pbFrame[1];
    if (pbFrame[0] != STX || pbFrame[bReceivedLength + 3] != ETX) {
        return ERR_FRAME_FORMAT;
    }
    if (getCheckSum(pbFrame, 1, bReceivedLength + 1) != pbFrame[bReceivedLength + 2]) {
        return ERR_SUM;
    }
    if (bReceivedLength != bLength) {
        return ERR_FRAME_FORMAT;
    }
    return RESULT_OK;
}

uint64_t NSCommandProcessor::checkStatus(uint8_t* pbSt1)
{
    const uint64_t result = checkStatusFrame(1);
    if (result == RESULT_OK) {
        *pbSt1 = m_pbDataFlames[2];
    }
    return result;
}

uint64_t NSCommandProcessor::checkDataFrame(uint8_t* pbSt1, uint8_t* pbSt2)
{
    const uint64_t result = checkStatusFrame(2);
    if (result == RESULT_OK) {
        *pbSt1 = m_pbDataFlames[2];
        *pbSt2 = m_pbDataFlames[3];
    }
    return result;
}

uint64_t NSCommandProcessor::CheckStatus(uint8_t* pbSt1) { return checkStatus(pbSt1); }

uint64_t NSCommandProcessor::MakeResetCommand(uint64_t* cmdLength) { return makeCommandFrame({CMD_RESET}, cmdLength); }

uint64_t NSCommandProcessor::MakeBaudRateCommand(uint8_t bBaudRate, uint8_t setVoltage, uint64_t* cmdLength)
{
    return makeCommandFrame({CMD_BAUD_RATE_SET, bBaudRate, setVoltage}, cmdLength, bBaudRate <= BAUD_RATE_CODE_MAX);
}

uint64_t NSCommandProcessor::MakeSiliconSignatureCommand(uint64_t* cmdLength)
{
    return makeCommandFrame({CMD_SILICON_SIGNATURE}, cmdLength);
}

uint64_t NSCommandProcessor::MakeBlockEraseCommand(uint8_t bSal, uint8_t bSam, uint8_t bSah, uint64_t* cmdLength)
{
    return makeCommandFrame({CMD_BLOCK_ERASE, bSal, bSam, bSah}, cmdLength);
}

uint64_t NSCommandProcessor::MakeBlockBlankCheckCommand(uint8_t bSal, uint8_t bSam, uint8_t bSah, uint8_t bEal,
                                                        uint8_t bEam, uint8_t bEah, uint8_t bD01, uint64_t* cmdLength)
{
    return makeCommandFrame({CMD_BLOCK_BLANK_CHECK, bSal, bSam, bSah, bEal, bEam, bEah, bD01}, cmdLength);
}

uint64_t NSCommandProcessor::MakeProgrammingCommand(uint8_t bSal, uint8_t bSam, uint8_t bSah, uint8_t bEal,
                                                    uint8_t bEam, uint8_t bEah, uint64_t* cmdLength)
{
    return makeAddressRangeCommand(CMD_PROGRAMMING, bSal, bSam, bSah, bEal, bEam, bEah, cmdLength);
}

uint64_t NSCommandProcessor::MakeChecksumCommand(uint8_t bSal, uint8_t bSam, uint8_t bSah, uint8_t bEal, uint8_t bEam,
                                                 uint8_t bEah, uint64_t* cmdLength)
{
    return makeAddressRangeCommand(CMD_CHECKSUM, bSal, bSam, bSah, bEal, bEam, bEah, cmdLength);
}

uint64_t NSCommandProcessor::MakeProgrammingDataFrame(const uint8_t* pbData, uint32_t length, bool finalFrame,
                                                      uint64_t* cmdLength)
{
    return makeDataFrame(pbData, length, finalFrame, cmdLength);
}

uint64_t NSCommandProcessor::CheckResetStatus(uint8_t* pbSt1) { return checkStatus(pbSt1); }

uint64_t NSCommandProcessor::CheckBlockBlankCheckStatus(uint8_t* pbSt1) { return checkStatus(pbSt1); }

uint64_t NSCommandProcessor::CheckProgrammingStatus(uint8_t* pbSt1) { return checkStatus(pbSt1); }

uint64_t NSCommandProcessor::CheckProgrammingDataFrameStatus(uint8_t* pbSt1) { return checkStatus(pbSt1); }

uint64_t NSCommandProcessor::CheckProgrammingDataFrameStatus(uint8_t* pbSt1, uint8_t* pbSt2)
{
    return checkDataFrame(pbSt1, pbSt2);
}

uint64_t NSCommandProcessor::CheckVerifyStatus(uint8_t* pbSt1) { return checkStatus(pbSt1); }

uint64_t NSCommandProcessor::CheckBaudRateStatus(uint8_t* pbSt1, uint8_t* pdD01, uint8_t* pdD02)
{
    const uint8_t* pbFrame = m_pbDataFlames.get();
    if (pbFrame == nullptr) {
        return ERR_INIT;
    }
    // This answer is checked sum first; the sum covers as many bytes as the frame's length byte says.
    if (getCheckSum(pbFrame, 1, pbFrame[1] + 1) != pbFrame[5]) {
        return ERR_SUM;
    }
    if (pbFrame[0] != STX || pbFrame[1] != 3 || pbFrame[6] != ETX) {
        return ERR_FRAME_FORMAT;
    }
    *pbSt1 = pbFrame[2];
    *pdD01 = pbFrame[3];
    *pdD02 = pbFrame[4];
    return RESULT_OK;
}

uint64_t NSCommandProcessor::CheckSiliconSignatureDataFrames(uint8_t* pbCode, uint8_t* pbDev, uint8_t* pbCen,
                                                             uint8_t* pbDen, uint8_t* pbVer)
{
    const uint64_t result = checkResultDataFrame(SIGNATURE_DATA_LENGTH);
    if (result == RESULT_OK) {
        const uint8_t* pbFrame = m_pbDataFlames.get();
        std::copy_n(pbFrame + 2, 3, pbCode);
        std::copy_n(pbFrame + 5, DEVICE_NAME_LENGTH, pbDev);
        pbDev[DEVICE_NAME_LENGTH] = 0;
        std::copy_n(pbFrame + 15, 3, pbCen);
        std::copy_n(pbFrame + 18, 3, pbDen);
        std::copy_n(pbFrame + 21, 3, pbVer);
    }
    return result;
}

uint64_t NSCommandProcessor::CheckChecksumDataFrams(uint8_t* pbCk1, uint8_t* pbCk2)
{
    const uint64_t result = checkResultDataFrame(CHECKSUM_DATA_LENGTH);
    if (result == RESULT_OK) {
        *pbCk1 = m_pbDataFlames[2];
        *pbCk2 = m_pbDataFlames[3];
    }
    return result;
}
