#include "NSSequenceProcessor.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <new>
#include <utility>

#include "MainDispatchQueue.h"
#include "MemoryImage.h"

namespace {

constexpr uint8_t ACK = 0x06;
constexpr uint8_t NOT_BLANK = 0x1B;

// Sizes of the answers the target sends, start and end bytes included.
constexpr uint64_t STATUS_FRAME_SIZE = 5;
constexpr uint64_t TWO_STATUS_FRAME_SIZE = 6;
constexpr uint64_t BAUD_RATE_ANSWER_SIZE = 7;
constexpr uint64_t SIGNATURE_FRAME_SIZE = 26;
constexpr uint64_t CHECKSUM_FRAME_SIZE = 6;

constexpr uint64_t COM_RETRY_MAX = 5;
constexpr uint64_t RETRY_WAIT_TIME = 100;
constexpr uint64_t SEND_WAIT = 1;
constexpr uint64_t RECEIVE_TIMEOUT = 200;
// Baud Rate Set must leave within this many ms of DTR returning to idle.
constexpr uint64_t MODE_ENTRY_WINDOW = 100;

constexpr uint8_t VOLTAGE = 33;
constexpr uint32_t DATA_FRAME_PAYLOAD = 256;
constexpr uint64_t CODE_FLASH_START = 0;

// Bytes as two-digit hex numbers separated by spaces.
std::string hexBytes(const uint8_t* pbBytes, size_t count)
{
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        char digits[4];
        std::snprintf(digits, sizeof digits, i == 0 ? "%02X" : " %02X", pbBytes[i]);
        text += digits;
    }
    return text;
}

// The events of a sequence that nobody listens to.
JobEvents NO_EVENTS;

bool isTerminated(const char (&text)[1024]) { return std::memchr(text, 0, sizeof text) != nullptr; }

}  // namespace

NSSequenceProcessor::NSSequenceProcessor(std::unique_ptr<NSSerialPortProcessor> pComPort, JobEvents* pEvents)
    : m_Cmd(std::make_unique<NSCommandProcessor>()),
      m_ComPort(std::move(pComPort)),
      m_TargetFile(std::make_unique<NSTargetFile>()),
      m_Wait(std::make_unique<NSWaitingTimeCalculator>()),
      m_pEvents(pEvents != nullptr ? pEvents : &NO_EVENTS),
      m_Exchange(*m_ComPort, *m_Cmd, m_ContextInfo, *m_pEvents)
{
    m_dwInitResult = initialize();
}

NSSequenceProcessor::~NSSequenceProcessor() = default;

uint64_t NSSequenceProcessor::initialize() { return m_Cmd->Initialize(); }

void NSSequenceProcessor::initCommandInfo(uint8_t bCommand)
{
    m_ContextInfo.ComInfo = _COMMANDINFO{};
    m_ContextInfo.ComInfo.Command = bCommand;
}

std::string_view NSSequenceProcessor::getResultText(uint64_t dwResult) { return ResultCodes::of(dwResult).text; }

NSSequenceProcessorDelegate* NSSequenceProcessor::delegate() const { return m_delegate.load(); }

void NSSequenceProcessor::setDelegate(NSSequenceProcessorDelegate* pDelegate) { m_delegate.store(pDelegate); }

void NSSequenceProcessor::addLog(std::string_view strLog)
{
    if (delegate() == nullptr) {
        return;
    }
    // The task keeps the sequence alive and asks for the delegate only when
    // it runs, so a delegate cleared meanwhile is never called.
    std::shared_ptr<NSSequenceProcessor> self = weak_from_this().lock();
    if (!self) {
        return;
    }
    MainDispatchQueue::async([self = std::move(self), strLog = std::string(strLog)] {
        if (NSSequenceProcessorDelegate* pDelegate = self->delegate()) {
            pDelegate->delegateAddLog(strLog);
        }
    });
}

// ---------------------------------------------------------------------------
// The job

uint64_t NSSequenceProcessor::start(_CONTEXTINFO contextInfo, JobPlan plan)
{
    m_ContextInfo = contextInfo;
    m_Plan = plan;
    return programming();
}

void NSSequenceProcessor::stop(const char* pszCause)
{
    m_pszStopCause.store(pszCause);
    m_pEvents->stopAsked();
    m_ComPort->Interrupt();
}

uint64_t NSSequenceProcessor::programming()
{
    m_ContextInfo.ComRetryMax = COM_RETRY_MAX;
    m_ContextInfo.RetryWaitTime = RETRY_WAIT_TIME;
    m_ContextInfo.SendWait = SEND_WAIT;
    m_ContextInfo.ReceiveTimeout = RECEIVE_TIMEOUT;
    m_fInvertDtr = false;
    m_strReason.clear();

    _RESULTINFO result{};
    result.Result = runJob();
    // A device that went away (unplugged, hung up) ends the job as an answer
    // that can no longer come, whatever step it was in.
    result.DeviceGone = result.Result != RESULT_OK && m_ComPort->IsDeviceGone();
    result.UnaskedAnswer = result.Result == ERR_FRAME_FORMAT && m_Exchange.endedByUnaskedAnswer();
    if (result.DeviceGone) {
        result.Result = ERR_RECV_TIMEOUT;
    }

    // End steps, on every path: DTR back to its active level, port closed,
    // outcome handed to the caller.
    driveDtr(true, m_fInvertDtr);
    m_ComPort->Close();
    addLog(result.Result == RESULT_OK ? "## Write Complete" : "## Write Failed");
    // A job that failed after a stop was asked for was stopped, whatever its last wait returned.
    if (const char* pszCause = m_pszStopCause.load(); pszCause != nullptr && result.Result != RESULT_OK) {
        result.Result = ERR_RECV_TIMEOUT;
        m_strReason = std::string("stopped by ") + pszCause;
    }
    result.ComInfo = m_ContextInfo.ComInfo;
    result.setReason(m_strReason);
    if (m_ContextInfo.pResultInfo != nullptr) {
        *m_ContextInfo.pResultInfo = result;
    }
    m_pEvents->jobEnded(result);
    return result.Result;
}

// Every step of the job up to its end steps; returns at the first failure.
uint64_t NSSequenceProcessor::runJob()
{
    if (m_dwInitResult != RESULT_OK) {
        return m_dwInitResult;
    }
    if (!isTerminated(m_ContextInfo.PortName) || !isTerminated(m_ContextInfo.TargetFileInfo.FilePath)) {
        return ERR_PARAMETER;
    }
    const uint64_t dwJobStart = m_ComPort->Now();
    std::vector<FlashRun> runs;
    if (readsImage(m_Plan.kind)) {
        // The image is loaded first: a bad one never touches the board.
        const uint64_t r = m_TargetFile->ReadFile(std::string(m_ContextInfo.TargetFileInfo.FilePath));
        if (r != RESULT_OK) {
            m_pEvents->imageRefused(m_TargetFile->GetProblemText());
            return r;
        }
        runs = imageRuns();
        std::vector<FlashRange> ranges;
        for (const FlashRun& run : runs) {
            ranges.push_back(run.range());
        }
        m_pEvents->imageLoaded(bytesOf(runs), blocksOf(runs), ranges);
    }

    uint64_t r = enterProgrammingMode();
    if (r == RESULT_OK && m_Plan.kind == JOB_ERASE) {
        r = flashesToErase(&runs);
    }
    for (const Step step : stepsOf(m_Plan)) {
        if (r != RESULT_OK) {
            return r;
        }
        r = runStep(step, runs);
    }
    if (r == RESULT_OK && m_Plan.kind == JOB_WRITE) {
        m_pEvents->imageWritten(bytesOf(runs), m_ComPort->Now() - dwJobStart);
    }
    return r;
}

// The steps of each job after mode entry, in order. Every block is
// blank-checked and erased before any run is programmed, and every run is
// programmed before any is compared: a board that cannot erase a block fails
// before a byte of the image is written, and each run is compared once all
// of them are written, so that a later transfer that disturbed an earlier run
// is found too.
std::vector<NSSequenceProcessor::Step> NSSequenceProcessor::stepsOf(const JobPlan& plan)
{
    switch (plan.kind) {
    case JOB_WRITE:
        return {Step::CHECK_RANGE, Step::BLANK_CHECK_AND_ERASE, Step::PROGRAM,
                plan.fVerifyBlocks ? Step::COMPARE_BLOCKS : Step::COMPARE_RUNS};
    case JOB_VERIFY: return {Step::CHECK_RANGE, Step::COMPARE_BLOCKS};
    case JOB_ERASE: return {Step::ERASE_AND_PROVE};
    case JOB_INFO: break;
    }
    return {};
}

uint64_t NSSequenceProcessor::runStep(Step step, const std::vector<FlashRun>& runs)
{
    switch (step) {
    case Step::CHECK_RANGE:
        return checkSizeAndAddressRange(CODE_FLASH_START, m_TargetFile->GetProgramMemorySize(),
                                        MemoryImage::DATA_FLASH_START, m_TargetFile->GetDataSize());
    case Step::BLANK_CHECK_AND_ERASE: return blankCheckAndErase(runs, false);
    case Step::ERASE_AND_PROVE: return blankCheckAndErase(runs, true);
    case Step::PROGRAM: return programRuns(runs);
    case Step::COMPARE_RUNS: return compareChecksums(runs, false);
    case Step::COMPARE_BLOCKS: return compareChecksums(runs, true);
    }
    return ERR_PARAMETER;
}

// The loaded image's runs: those of the code flash, then those of the data flash.
std::vector<NSSequenceProcessor::FlashRun> NSSequenceProcessor::imageRuns() const
{
    std::vector<FlashRun> runs;
    for (const BlockRun& run : m_TargetFile->GetProgramRuns()) {
        runs.push_back(
            {true, CODE_FLASH_START + run.dwOffset, m_TargetFile->GetProgramMemory() + run.dwOffset, run.dwLength});
    }
    for (const BlockRun& run : m_TargetFile->GetDataRuns()) {
        runs.push_back({false, MemoryImage::DATA_FLASH_START + run.dwOffset,
                        m_TargetFile->GetDataFlash() + run.dwOffset, run.dwLength});
    }
    return runs;
}

// Appends the whole flashes the erase job asks for, as runs without bytes:
// the code flash, the data flash, or both (the code flash alone where the
// board has no data flash). ERR_DATA_FLASH_SIZE, with its reason, when only
// the data flash is asked for and the signature says there is none.
uint64_t NSSequenceProcessor::flashesToErase(std::vector<FlashRun>* pRuns)
{
    const uint64_t dwDataFlashSize = flashSize(false);
    if (m_Plan.eraseFlashes == FLASH_DATA && dwDataFlashSize == 0) {
        m_strReason = "the board has no data flash";
        return ERR_DATA_FLASH_SIZE;
    }
    if (m_Plan.eraseFlashes != FLASH_DATA) {
        pRuns->push_back({true, CODE_FLASH_START, nullptr, flashSize(true)});
    }
    if (m_Plan.eraseFlashes != FLASH_CODE && dwDataFlashSize != 0) {
        pRuns->push_back({false, MemoryImage::DATA_FLASH_START, nullptr, dwDataFlashSize});
    }
    return RESULT_OK;
}

uint64_t NSSequenceProcessor::bytesOf(const std::vector<FlashRun>& runs)
{
    uint64_t dwBytes = 0;
    for (const FlashRun& run : runs) {
        dwBytes += run.dwLength;
    }
    return dwBytes;
}

uint64_t NSSequenceProcessor::blocksOf(const std::vector<FlashRun>& runs)
{
    uint64_t dwBlocks = 0;
    for (const FlashRun& run : runs) {
        dwBlocks += run.blocks();
    }
    return dwBlocks;
}

// Opens the port and pulls the target into programming mode, with the other
// DTR polarity when it does not answer; the signature is then in the context.
uint64_t NSSequenceProcessor::enterProgrammingMode()
{
    uint64_t r = m_ComPort->Open(m_ContextInfo.PortName);
    if (r != RESULT_OK) {
        m_strReason = m_ComPort->OpenFailure();  // what the system answered
        return r;
    }
    m_pEvents->portOpened(m_ContextInfo.PortName, JobRequest::LINE_SPEEDS[0], m_ComPort->IsLowLatency(),
                          m_ComPort->LatencyTimer());

    addLog("## Programming Mode\n");
    m_pEvents->stepBegan(JobStep::MODE_ENTRY);
    r = programingMode(m_ContextInfo.BaudRate, VOLTAGE, 0);
    if (r == ERR_MODE_ENTRY_TIMEOUT) {
        m_pEvents->stepBegan(JobStep::MODE_ENTRY_INVERTED);
        m_fInvertDtr = true;
        r = programingMode(m_ContextInfo.BaudRate, VOLTAGE, 1);
    }
    if (r == RESULT_OK) {
        m_pEvents->lineSpeedSet(JobRequest::LINE_SPEEDS[m_ContextInfo.BaudRate]);
    }
    return r;
}

// Blank-checks every block of the runs in order and erases each that is not
// blank; stops at the first failure. The erase job (fEraseJob) shows the
// bytes done after each block, and proves each flash in which it erased a
// block with one blank check over all its blocks: a target may acknowledge an
// erase that did not erase.
uint64_t NSSequenceProcessor::blankCheckAndErase(const std::vector<FlashRun>& runs, bool fEraseJob)
{
    addLog("## Block Blank Check & Erace...");
    m_pEvents->stepBegan(JobStep::ERASE);
    const uint64_t dwBlocks = blocksOf(runs);
    if (fEraseJob) {
        beginProgress(JobStep::ERASE, dwBlocks * MemoryImage::BLOCK_SIZE);
        advanceProgress(0);
    }
    uint64_t r = RESULT_OK;
    uint64_t dwErased = 0;
    for (auto run = runs.begin(); run != runs.end() && r == RESULT_OK; ++run) {
        const uint64_t dwErasedBefore = dwErased;
        for (uint64_t i = 0; i < run->blocks() && r == RESULT_OK; ++i) {
            const uint64_t dwBlockAddress = run->dwStartAddress + i * MemoryImage::BLOCK_SIZE;
            r = comBlockBlankCheckProc(dwBlockAddress, run->codeFlash);
            if (r == ERR_NOT_BLANK) {
                ++dwErased;
                r = comBlockEraseProc(dwBlockAddress, run->codeFlash);
            }
            if (fEraseJob && r == RESULT_OK) {
                advanceProgress(MemoryImage::BLOCK_SIZE);
            }
        }
        if (fEraseJob && r == RESULT_OK && dwErased != dwErasedBefore) {
            r = blankCheck(run->dwStartAddress, run->endAddress(), run->blocks(), run->codeFlash);
        }
    }
    addLog(getResultText(r));
    if (r == RESULT_OK) {
        m_pEvents->blankChecked(dwBlocks - dwErased, dwErased);
    }
    return r;
}

// Programs each run with one Programming command, the progress counted over
// the bytes of all of them.
uint64_t NSSequenceProcessor::programRuns(const std::vector<FlashRun>& runs)
{
    addLog("## Programming...");
    m_pEvents->stepBegan(JobStep::PROGRAM);
    beginProgress(JobStep::PROGRAM, bytesOf(runs));
    uint64_t r = RESULT_OK;
    for (auto run = runs.begin(); run != runs.end() && r == RESULT_OK; ++run) {
        r = comProgrammingProc(run->dwStartAddress, run->endAddress(), run->pbBytes, run->dwLength, run->codeFlash);
    }
    addLog(getResultText(r));
    return r;
}

// Compares the target's checksum of each run, or with fEachBlock of each
// block of each run, with the host's; stops at the first that differs, with
// ERR_CHECKSUM_MISMATCH. Block by block the progress is shown and the first
// block that differs is named; run by run each comparison is.
uint64_t NSSequenceProcessor::compareChecksums(const std::vector<FlashRun>& runs, bool fEachBlock)
{
    m_pEvents->stepBegan(JobStep::COMPARE);
    std::vector<FlashRun> parts;
    if (fEachBlock) {
        for (const FlashRun& run : runs) {
            for (uint64_t i = 0; i < run.blocks(); ++i) {
                const uint64_t dwOffset = i * MemoryImage::BLOCK_SIZE;
                parts.push_back({run.codeFlash, run.dwStartAddress + dwOffset, run.pbBytes + dwOffset,
                                 std::min(MemoryImage::BLOCK_SIZE, run.dwLength - dwOffset)});
            }
        }
        beginProgress(JobStep::COMPARE, bytesOf(parts));
        advanceProgress(0);
    } else {
        parts = runs;
    }
    for (const FlashRun& part : parts) {
        uint16_t wHost = 0;
        uint16_t wTarget = 0;
        const uint64_t r = compareChecksum(part, &wHost, &wTarget);
        if (r != RESULT_OK) {
            return r;
        }
        if (!fEachBlock) {
            m_pEvents->checksumsCompared(part.range(), wHost, wTarget);
        } else if (wHost != wTarget) {
            m_pEvents->blockDiffers(part.range(), wHost, wTarget);
        }
        if (wHost != wTarget) {
            return ERR_CHECKSUM_MISMATCH;
        }
        if (fEachBlock) {
            advanceProgress(part.dwLength);
        }
    }
    return RESULT_OK;
}

// The target's checksum of the part's blocks and the host's, which counts the
// last block as padded with 0xFF, into *pwTarget and *pwHost: their low 16 bits.
uint64_t NSSequenceProcessor::compareChecksum(const FlashRun& part, uint16_t* pwHost, uint16_t* pwTarget)
{
    uint32_t dwChecksum = 0;
    getChecksum(part.pbBytes, part.dwLength, &dwChecksum);
    uint8_t ck1 = 0;
    uint8_t ck2 = 0;
    const uint64_t r = comChecksum(part.dwStartAddress, part.endAddress(), &ck1, &ck2, part.codeFlash);
    if (r == RESULT_OK) {
        *pwHost = static_cast<uint16_t>(dwChecksum);
        *pwTarget = static_cast<uint16_t>(ck1 | ck2 << 8);
    }
    return r;
}

void NSSequenceProcessor::beginProgress(JobStep step, uint64_t dwTotal) { m_Progress = {step, 0, dwTotal}; }

void NSSequenceProcessor::advanceProgress(uint64_t dwBytes)
{
    m_Progress.dwDone += dwBytes;
    m_pEvents->progress(m_Progress.step, m_Progress.dwDone, m_Progress.dwTotal);
}

uint64_t NSSequenceProcessor::FlashRun::blocks() const
{
    return (dwLength + MemoryImage::BLOCK_SIZE - 1) / MemoryImage::BLOCK_SIZE;
}

uint64_t NSSequenceProcessor::FlashRun::endAddress() const
{
    return dwStartAddress + blocks() * MemoryImage::BLOCK_SIZE - 1;
}

FlashRange NSSequenceProcessor::FlashRun::range() const { return {codeFlash, dwStartAddress, endAddress()}; }

uint64_t NSSequenceProcessor::checkSizeAndAddressRange(uint64_t dwProgramStartAddress, uint64_t programSize,
                                                       uint64_t dataStartAddress, uint64_t dataSize)
{
    const uint64_t dwCodeFlashSize = flashSize(true);
    const uint64_t dwDataFlashSize = flashSize(false);

    // A start address must begin a block and leave room for the image.
    if (dwCodeFlashSize < programSize) {
        return ERR_CODE_FLASH_SIZE;
    }
    if (dwProgramStartAddress % MemoryImage::BLOCK_SIZE != 0 || dwProgramStartAddress > dwCodeFlashSize - programSize) {
        return ERR_CODE_FLASH_ADDRESS;
    }
    if (dwDataFlashSize < dataSize) {
        return ERR_DATA_FLASH_SIZE;
    }
    if (dataStartAddress < MemoryImage::DATA_FLASH_START || dataStartAddress % MemoryImage::BLOCK_SIZE != 0 ||
        dataStartAddress - MemoryImage::DATA_FLASH_START > dwDataFlashSize - dataSize) {
        return ERR_DATA_FLASH_ADDRESS;
    }
    return RESULT_OK;
}

// From the stored signature: the code flash ends at its end address; the data
// flash begins at 0xF1000, and an end address below that means there is none.
uint64_t NSSequenceProcessor::flashSize(bool codeFlash) const
{
    const _SILICONSIGNATURE& signature = m_ContextInfo.SiliconSignature;
    if (codeFlash) {
        return makeAddress(signature.CodeEndAddress[0], signature.CodeEndAddress[1], signature.CodeEndAddress[2]) + 1;
    }
    const uint64_t dwDataEnd =
        makeAddress(signature.DataEndAddress[0], signature.DataEndAddress[1], signature.DataEndAddress[2]);
    return dwDataEnd < MemoryImage::DATA_FLASH_START ? 0 : dwDataEnd - (MemoryImage::DATA_FLASH_START - 1);
}

// ---------------------------------------------------------------------------
// Mode entry and link set-up

// Without inversion SetDtr makes the line active and ClearDtr idle.
void NSSequenceProcessor::driveDtr(bool fActive, bool fInvert)
{
    if (fActive != fInvert) {
        m_ComPort->SetDtr();
    } else {
        m_ComPort->ClearDtr();
    }
}

uint64_t NSSequenceProcessor::programingMode(uint8_t bBaudRate, uint8_t voltage, uint8_t InvertDTR)
{
    if (bBaudRate >= std::size(JobRequest::LINE_SPEEDS)) {
        return ERR_PARAMETER;
    }
    const bool fInvert = InvertDTR != 0;
    driveDtr(true, fInvert);
    m_ComPort->SetBreak();
    wait(m_ContextInfo.SendWait);
    m_ComPort->ClearReceiveBuffer();
    driveDtr(false, fInvert);
    m_ContextInfo.TransitionStartTime = m_ComPort->Now();
    wait(m_ContextInfo.SendWait);
    m_ComPort->ClearBreak();
    wait(m_ContextInfo.SendWait);

    const uint8_t bZero = 0x00;
    uint64_t r = m_ComPort->SendData(&bZero, 1);
    if (r != RESULT_OK) {
        return r;
    }
    r = comBaudRateSetProc(bBaudRate, voltage);
    // The host follows only once the target has acknowledged at the old speed.
    if (bBaudRate != 0 && r == RESULT_OK) {
        r = m_ComPort->ChangeBaudRate(JobRequest::LINE_SPEEDS[bBaudRate]);
    }
    if (r != RESULT_OK) {
        return r;
    }
    r = comResetProc();
    if (r != RESULT_OK) {
        return r;
    }
    return comSiliconSignatureProc();
}

uint64_t NSSequenceProcessor::comBaudRateSetProc(uint8_t bBaudRate, uint8_t voltage)
{
    initCommandInfo(NSCommandProcessor::CMD_BAUD_RATE_SET);
    _COMMANDINFO& info = m_ContextInfo.ComInfo;
    return m_Exchange.run({
        .frame = [&](uint64_t* cmdLength) { return m_Cmd->MakeBaudRateCommand(bBaudRate, voltage, cmdLength); },
        // The short status frame, or the long one that repeats the two settings.
        .answers = {{.what = "the answer to Baud Rate Set",
                     .timeout = m_ContextInfo.ReceiveTimeout,
                     .check =
                         [&](uint64_t dwLength) {
                             uint64_t r = ERR_RECV_TIMEOUT;
                             if (dwLength == STATUS_FRAME_SIZE) {
                                 r = m_Cmd->CheckStatus(&info.ST1);
                             } else if (dwLength == BAUD_RATE_ANSWER_SIZE) {
                                 // The two settings it repeats are checked with the frame and not kept.
                                 uint8_t bD01 = 0;
                                 uint8_t bD02 = 0;
                                 r = m_Cmd->CheckBaudRateStatus(&info.ST1, &bD01, &bD02);
                             } else {
                                 return r;
                             }
                             return statusResult(r, info.ST1 == ACK, ERR_COMMAND_FRAME);
                         }}},
        .attempts = m_ContextInfo.ComRetryMax,
        .sent = [this] { m_ContextInfo.TransitionEndTime = m_ComPort->Now(); },
        // Only an answer to a frame sent inside the window counts; a later one
        // stays in the buffer for the next mode entry to discard.
        .beforeFirstAnswer =
            [this] {
                return m_ContextInfo.TransitionEndTime - m_ContextInfo.TransitionStartTime > MODE_ENTRY_WINDOW
                           ? ERR_MODE_ENTRY_TIMEOUT
                           : RESULT_OK;
            },
    });
}

uint64_t NSSequenceProcessor::comResetProc()
{
    initCommandInfo(NSCommandProcessor::CMD_RESET);
    return m_Exchange.run({
        .frame = [this](uint64_t* cmdLength) { return m_Cmd->MakeResetCommand(cmdLength); },
        .answers = {commandStatus("the answer to Reset", m_Wait->GetResetTcs1(),
                                  &NSCommandProcessor::CheckResetStatus)},
        .attempts = m_ContextInfo.ComRetryMax,
    });
}

uint64_t NSSequenceProcessor::comSiliconSignatureProc()
{
    initCommandInfo(NSCommandProcessor::CMD_SILICON_SIGNATURE);
    _SILICONSIGNATURE& signature = m_ContextInfo.SiliconSignature;
    const uint64_t r = m_Exchange.run({
        .frame = [this](uint64_t* cmdLength) { return m_Cmd->MakeSiliconSignatureCommand(cmdLength); },
        .answers = {commandStatus("the answer to Silicon Signature", m_Wait->GetSiliconSignatureTcs11(),
                                  &NSCommandProcessor::CheckResetStatus),
                    resultData("the signature data", m_Wait->GetSiliconSignatureTsd11(), SIGNATURE_FRAME_SIZE,
                               [&] {
                                   return m_Cmd->CheckSiliconSignatureDataFrames(
                                       signature.DevCode, signature.DevName, signature.CodeEndAddress,
                                       signature.DataEndAddress, signature.FVer);
                               })},
        .attempts = m_ContextInfo.ComRetryMax,
    });
    if (r == RESULT_OK) {
        m_pEvents->signatureRead(this->signature());
    }
    return r;
}

// The device name as text, with '?' for a character other than printable
// ASCII and the spaces that pad it dropped; the flash sizes from the end
// addresses.
DeviceSignature NSSequenceProcessor::signature() const
{
    const _SILICONSIGNATURE& signature = m_ContextInfo.SiliconSignature;
    std::string strName(reinterpret_cast<const char*>(signature.DevName));
    std::replace_if(
        strName.begin(), strName.end(), [](char c) { return c < ' ' || c > '~'; }, '?');
    strName.erase(strName.find_last_not_of(' ') + 1);
    return {.strName = strName,
            .strCode = hexBytes(signature.DevCode, 3),
            .dwCodeFlashSize = flashSize(true),
            .dwDataFlashSize = flashSize(false),
            .strVersion = hexBytes(signature.FVer, 3)};
}

// ---------------------------------------------------------------------------
// Blank check and erase

uint64_t NSSequenceProcessor::comBlockBlankCheckProc(uint64_t dwStartAddress, bool codeFlash)
{
    return blankCheck(dwStartAddress, dwStartAddress + MemoryImage::BLOCK_SIZE - 1, 1, codeFlash);
}

// Block Blank Check of the blocks from dwStartAddress to endAddress: one
// attempt, no pause. ERR_NOT_BLANK when the target finds one not blank.
uint64_t NSSequenceProcessor::blankCheck(uint64_t dwStartAddress, uint64_t endAddress, uint64_t dwBlocks,
                                         bool codeFlash)
{
    initCommandInfo(NSCommandProcessor::CMD_BLOCK_BLANK_CHECK);
    uint8_t bSah = 0, bSam = 0, bSal = 0, bEah = 0, bEam = 0, bEal = 0;
    splitAddress(dwStartAddress, &bSah, &bSam, &bSal);
    splitAddress(endAddress, &bEah, &bEam, &bEal);
    const uint64_t r = m_Exchange.run({
        .frame =
            [&](uint64_t* cmdLength) {
                return m_Cmd->MakeBlockBlankCheckCommand(bSal, bSam, bSah, bEal, bEam, bEah, 0x00, cmdLength);
            },
        .answers = {commandStatus("the answer to Block Blank Check",
                                  m_Wait->GetBlockBlankCheckTcs4(dwStartAddress, endAddress, dwBlocks, codeFlash),
                                  &NSCommandProcessor::CheckBlockBlankCheckStatus)},
        .attempts = std::min<uint64_t>(m_ContextInfo.ComRetryMax, 1),
        .pauseAfterLastAttempt = false,
    });
    return r == ERR_COMMAND_FRAME && m_ContextInfo.ComInfo.ST1 == NOT_BLANK ? ERR_NOT_BLANK : r;
}

uint64_t NSSequenceProcessor::comBlockEraseProc(uint64_t dwStartAddress, bool codeFlash)
{
    initCommandInfo(NSCommandProcessor::CMD_BLOCK_ERASE);
    uint8_t bSah = 0, bSam = 0, bSal = 0;
    splitAddress(dwStartAddress, &bSah, &bSam, &bSal);
    return m_Exchange.run({
        .frame = [&](uint64_t* cmdLength) { return m_Cmd->MakeBlockEraseCommand(bSal, bSam, bSah, cmdLength); },
        .answers = {commandStatus("the answer to Block Erase", m_Wait->GetBlockEraseTcs3(codeFlash),
                                  &NSCommandProcessor::CheckResetStatus)},
        .attempts = m_ContextInfo.ComRetryMax,
    });
}

// ---------------------------------------------------------------------------
// Programming and checksum

uint64_t NSSequenceProcessor::comProgrammingProc(uint64_t dwStartAddress, uint64_t endAddress, const uint8_t* data,
                                                 uint64_t dataLength, bool codeFlash)
{
    // Nothing to write is refused rather than reported as written.
    if (data == nullptr || dataLength == 0) {
        return ERR_PARAMETER;
    }
    const uint64_t dwBlocks = (dataLength + MemoryImage::BLOCK_SIZE - 1) / MemoryImage::BLOCK_SIZE;
    const uint64_t dwRest = dataLength % MemoryImage::BLOCK_SIZE;
    const uint64_t dwTds = m_Wait->GetProgrammingTds5(codeFlash);
    const uint64_t dwTss = m_Wait->GetProgrammingTss5(dwStartAddress, endAddress, dwBlocks, codeFlash);
    uint8_t bSah = 0, bSam = 0, bSal = 0, bEah = 0, bEam = 0, bEal = 0;
    splitAddress(dwStartAddress, &bSah, &bSam, &bSal);
    splitAddress(endAddress, &bEah, &bEam, &bEal);

    initCommandInfo(NSCommandProcessor::CMD_PROGRAMMING);
    const uint64_t r = m_Exchange.run({
        .frame =
            [&](uint64_t* cmdLength) {
                return m_Cmd->MakeProgrammingCommand(bSal, bSam, bSah, bEal, bEam, bEah, cmdLength);
            },
        .answers = {commandStatus("the answer to Programming", m_Wait->GetProgrammingTcs5(codeFlash),
                                  &NSCommandProcessor::CheckProgrammingStatus)},
        .attempts = m_ContextInfo.ComRetryMax,
    });

    // A partial last block goes out from its own buffer, padded with 0xFF.
    std::unique_ptr<uint8_t[]> pbLastBlock;
    if (dwRest != 0) {
        pbLastBlock.reset(new (std::nothrow) uint8_t[MemoryImage::BLOCK_SIZE]);
        if (!pbLastBlock) {
            return ERR_INIT;
        }
        std::fill_n(pbLastBlock.get(), MemoryImage::BLOCK_SIZE, uint8_t{0xFF});
        std::memcpy(pbLastBlock.get(), data + (dwBlocks - 1) * MemoryImage::BLOCK_SIZE, dwRest);
    }
    if (r != RESULT_OK) {
        return r;
    }

    advanceProgress(0);
    for (uint64_t b = 0; b < dwBlocks; ++b) {
        const bool fLastBlock = b == dwBlocks - 1;
        const uint8_t* pbBlock = fLastBlock && pbLastBlock ? pbLastBlock.get() : data + b * MemoryImage::BLOCK_SIZE;
        for (uint64_t j = 0; j < MemoryImage::BLOCK_SIZE / DATA_FRAME_PAYLOAD; ++j) {
            const bool finalFrame = fLastBlock && j == MemoryImage::BLOCK_SIZE / DATA_FRAME_PAYLOAD - 1;
            const uint64_t rFrame =
                sendProgrammingDataFrame(pbBlock + j * DATA_FRAME_PAYLOAD, finalFrame, dwTds, dwTss);
            if (rFrame != RESULT_OK) {
                return rFrame;
            }
        }
        advanceProgress(std::min(MemoryImage::BLOCK_SIZE, dataLength - b * MemoryImage::BLOCK_SIZE));
    }
    return RESULT_OK;
}

// One data frame, answered by its status and the final frame also by the
// completion status. A failed build, write or wait is another attempt with
// the same frame, the pause only between attempts; so a completion status
// that does not come in time sends the last frame again, which the target
// takes as the same last frame.
uint64_t NSSequenceProcessor::sendProgrammingDataFrame(const uint8_t* pbPayload, bool finalFrame, uint64_t dwTds,
                                                       uint64_t dwTss)
{
    std::vector<ExchangeRunner::Answer> answers{dataFrameStatus("the answer to a data frame", dwTds, true)};
    if (finalFrame) {
        answers.push_back(dataFrameStatus("the completion status", dwTss, false));
    }
    return m_Exchange.run({
        .frame =
            [&](uint64_t* cmdLength) {
                return m_Cmd->MakeProgrammingDataFrame(pbPayload, DATA_FRAME_PAYLOAD, finalFrame, cmdLength);
            },
        .answers = std::move(answers),
        .attempts = m_ContextInfo.ComRetryMax,
        .retrySendFailure = true,
        .pauseAfterLastAttempt = false,
    });
}

uint64_t NSSequenceProcessor::comChecksum(uint64_t dwStartAddress, uint64_t endAddress, uint8_t* ck1, uint8_t* ck2,
                                          bool codeFlash)
{
    const uint64_t dwBlocks = (endAddress - dwStartAddress + MemoryImage::BLOCK_SIZE - 1) / MemoryImage::BLOCK_SIZE;
    uint8_t bSah = 0, bSam = 0, bSal = 0, bEah = 0, bEam = 0, bEal = 0;
    splitAddress(dwStartAddress, &bSah, &bSam, &bSal);
    splitAddress(endAddress, &bEah, &bEam, &bEal);
    initCommandInfo(NSCommandProcessor::CMD_CHECKSUM);
    return m_Exchange.run({
        .frame =
            [&](uint64_t* cmdLength) {
                return m_Cmd->MakeChecksumCommand(bSal, bSam, bSah, bEal, bEam, bEah, cmdLength);
            },
        .answers = {commandStatus("the answer to Checksum", m_Wait->GetCheckSumTcs10(codeFlash),
                                  &NSCommandProcessor::CheckVerifyStatus),
                    resultData("the checksum data", m_Wait->GetCheckSumTsd10(dwBlocks), CHECKSUM_FRAME_SIZE,
                               [&] { return m_Cmd->CheckChecksumDataFrams(ck1, ck2); })},
        .attempts = m_ContextInfo.ComRetryMax,
    });
}

// 0 minus the sum of every byte sent, the last block counted as padded with
// 0xFF to a whole block.
uint64_t NSSequenceProcessor::getChecksum(const uint8_t* pbData, uint64_t size, uint32_t* checksum)
{
    uint32_t dwSum = 0;
    for (uint64_t i = 0; i < size; ++i) {
        dwSum -= pbData[i];
    }
    const uint64_t dwRest = size % MemoryImage::BLOCK_SIZE;
    if (dwRest != 0) {
        dwSum -= static_cast<uint32_t>((MemoryImage::BLOCK_SIZE - dwRest) * 0xFF);
    }
    *checksum = dwSum;
    return RESULT_OK;
}

// ---------------------------------------------------------------------------
// The answers the exchanges are owed, and the waits

// A status answer that passed its check (rCheck 0) is 0 when it acknowledges,
// otherwise dwRefused; one that failed gives the check's code.
uint64_t NSSequenceProcessor::statusResult(uint64_t rCheck, bool fAcknowledged, uint64_t dwRefused)
{
    if (rCheck != RESULT_OK) {
        return rCheck;
    }
    return fAcknowledged ? RESULT_OK : dwRefused;
}

// The answer to a command frame: a status frame with one status byte, into
// ComInfo.ST1, parsed by the command's own parser; retried when it is late.
ExchangeRunner::Answer NSSequenceProcessor::commandStatus(const char* pszWhat, uint64_t timeout, StatusParser parser)
{
    return {.what = pszWhat, .timeout = timeout, .check = [this, parser](uint64_t dwLength) {
                uint8_t& bSt1 = m_ContextInfo.ComInfo.ST1;
                if (dwLength != STATUS_FRAME_SIZE) {
                    return ERR_RECV_TIMEOUT;
                }
                const uint64_t r = (m_Cmd.get()->*parser)(&bSt1);
                return statusResult(r, bSt1 == ACK, ERR_COMMAND_FRAME);
            }};
}

// The status that answers a data frame (one or, where allowed, two status
// bytes), into ComInfo.DST1 and DST2.
ExchangeRunner::Answer NSSequenceProcessor::dataFrameStatus(const char* pszWhat, uint64_t timeout,
                                                            bool fTwoBytesAllowed)
{
    return {.what = pszWhat, .timeout = timeout, .check = [this, fTwoBytesAllowed](uint64_t dwLength) {
                _COMMANDINFO& info = m_ContextInfo.ComInfo;
                if (dwLength == STATUS_FRAME_SIZE) {
                    const uint64_t r = m_Cmd->CheckProgrammingDataFrameStatus(&info.DST1);
                    return statusResult(r, info.DST1 == ACK, ERR_DATA_FRAME);
                }
                if (dwLength == TWO_STATUS_FRAME_SIZE && fTwoBytesAllowed) {
                    const uint64_t r = m_Cmd->CheckProgrammingDataFrameStatus(&info.DST1, &info.DST2);
                    return statusResult(r, info.DST1 == ACK && info.DST2 == ACK, ERR_DATA_FRAME);
                }
                return ERR_RECV_TIMEOUT;
            }};
}

// A data frame of results that follows a command's status: waited for once,
// of one size, then parsed.
ExchangeRunner::Answer NSSequenceProcessor::resultData(const char* pszWhat, uint64_t timeout, uint64_t dwSize,
                                                       std::function<uint64_t()> parse)
{
    return {.what = pszWhat,
            .timeout = timeout,
            .check = [dwSize, parse = std::move(parse)](
                         uint64_t dwLength) { return dwLength == dwSize ? parse() : ERR_RECV_TIMEOUT; },
            .retried = false};
}

// Returns once more than dwMsec milliseconds have passed, with the whole
// milliseconds that did.
uint64_t NSSequenceProcessor::wait(uint64_t dwMsec)
{
    const uint64_t dwStart = m_ComPort->Now();
    m_ComPort->Pause(dwMsec);
    return m_ComPort->Now() - dwStart;
}

uint64_t NSSequenceProcessor::makeAddress(uint8_t bLow, uint8_t bMid, uint8_t bHigh) const
{
    return uint64_t{bLow} + uint64_t{bMid} * 0x100 + uint64_t{bHigh} * 0x10000;
}

uint64_t NSSequenceProcessor::splitAddress(uint64_t dwAddress, uint8_t* high, uint8_t* mid, uint8_t* low) const
{
    *high = static_cast<uint8_t>(dwAddress >> 16);
    *mid = static_cast<uint8_t>(dwAddress >> 8);
    *low = static_cast<uint8_t>(dwAddress);
    return RESULT_OK;
}
