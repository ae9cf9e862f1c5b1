#include "NSSequenceProcessor.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <new>
#include <utility>

#include "MemoryImage.h"

namespace {

constexpr uint8_t VOLTAGE = 33;
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

// Joins three address bytes, low byte first, into an address.
uint64_t makeAddress(const uint8_t (&bytes)[3])
{
    return uint64_t{bytes[0]} + uint64_t{bytes[1]} * 0x100 + uint64_t{bytes[2]} * 0x10000;
}

}  // namespace

NSSequenceProcessor::NSSequenceProcessor(std::unique_ptr<NSSerialPortProcessor> pComPort, JobEvents* pEvents)
    : m_Cmd(std::make_unique<NSCommandProcessor>()),
      m_ComPort(std::move(pComPort)),
      m_TargetFile(std::make_unique<NSTargetFile>()),
      m_Wait(std::make_unique<NSWaitingTimeCalculator>()),
      m_pRecord(std::make_shared<JobRecord>(pEvents != nullptr ? *pEvents : NO_EVENTS)),
      m_pEvents(m_pRecord.get()),
      m_Commands(*m_Cmd, *m_Wait, m_ComInfo),
      m_Exchange(*m_ComPort, *m_Cmd, m_ComInfo, *m_pEvents),
      m_dwInitResult(m_Cmd->Initialize())
{
}

NSSequenceProcessor::~NSSequenceProcessor() = default;

NSSequenceProcessorDelegate* NSSequenceProcessor::delegate() const { return m_pRecord->delegate(); }

void NSSequenceProcessor::setDelegate(NSSequenceProcessorDelegate* pDelegate) { m_pRecord->setDelegate(pDelegate); }

uint64_t NSSequenceProcessor::exchange(const Exchange& exchange)
{
    if (exchange.command) {
        m_ComInfo = _COMMANDINFO{};
        m_ComInfo.Command = *exchange.command;
    }
    return m_Exchange.run(exchange);
}

// ---------------------------------------------------------------------------
// The job

void NSSequenceProcessor::stop(const char* pszCause)
{
    m_pszStopCause.store(pszCause);
    m_pEvents->stopAsked();
    m_ComPort->Interrupt();
}

// Runs the job and its end steps, on every path: DTR back to its active
// level, port closed, outcome handed back.
_RESULTINFO NSSequenceProcessor::start(const JobRequest& request)
{
    m_pRequest = &request;
    m_ComInfo = _COMMANDINFO{};
    m_ComInfo.Command = NO_COMMAND;
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
    driveDtr(true, m_fInvertDtr);
    m_ComPort->Close();
    // A job that failed after a stop was asked for was stopped, whatever its last wait returned.
    if (const char* pszCause = m_pszStopCause.load(); pszCause != nullptr && result.Result != RESULT_OK) {
        result.Result = ERR_RECV_TIMEOUT;
        m_strReason = std::string("stopped by ") + pszCause;
    }
    result.ComInfo = m_ComInfo;
    result.setReason(m_strReason);
    m_pEvents->jobEnded(result);
    m_pRequest = nullptr;
    return result;
}

// Every step of the job up to its end steps; returns at the first failure.
uint64_t NSSequenceProcessor::runJob()
{
    if (m_dwInitResult != RESULT_OK) {
        return m_dwInitResult;
    }
    const uint64_t dwJobStart = m_ComPort->Now();
    std::vector<FlashRun> runs;
    const JobPlan& plan = m_pRequest->plan;
    if (readsImage(plan.kind)) {
        // The image is loaded first: a bad one never touches the board.
        const uint64_t r = m_TargetFile->ReadFile(m_pRequest->strImagePath);
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
    if (r == RESULT_OK && plan.kind == JOB_ERASE) {
        r = flashesToErase(&runs);
    }
    for (const Step step : stepsOf(plan)) {
        if (r != RESULT_OK) {
            return r;
        }
        r = runStep(step, runs);
    }
    if (r == RESULT_OK && plan.kind == JOB_WRITE) {
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
    const FlashSet flashes = m_pRequest->plan.eraseFlashes;
    const uint64_t dwDataFlashSize = flashSize(false);
    if (flashes == FLASH_DATA && dwDataFlashSize == 0) {
        m_strReason = "the board has no data flash";
        return ERR_DATA_FLASH_SIZE;
    }
    if (flashes != FLASH_DATA) {
        pRuns->push_back({true, CODE_FLASH_START, nullptr, flashSize(true)});
    }
    if (flashes != FLASH_CODE && dwDataFlashSize != 0) {
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
    const char* pszPort = m_pRequest->strPortName.c_str();
    uint64_t r = m_ComPort->Open(pszPort);
    if (r != RESULT_OK) {
        m_strReason = m_ComPort->OpenFailure();  // what the system answered
        return r;
    }
    m_pEvents->portOpened(pszPort, NSWaitingTimeCalculator::LINE_SPEEDS[0], m_ComPort->IsLowLatency());

    const uint8_t bBaudRate = m_pRequest->bBaudRate;
    m_pEvents->stepBegan(JobStep::MODE_ENTRY);
    r = programingMode(bBaudRate, VOLTAGE, 0);
    if (r == ERR_MODE_ENTRY_TIMEOUT) {
        m_pEvents->stepBegan(JobStep::MODE_ENTRY_INVERTED);
        m_fInvertDtr = true;
        r = programingMode(bBaudRate, VOLTAGE, 1);
    }
    if (r == RESULT_OK) {
        m_pEvents->lineSpeedSet(NSWaitingTimeCalculator::LINE_SPEEDS[bBaudRate]);
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
            r = comBlockBlankCheckProc({run->codeFlash, dwBlockAddress, nullptr, MemoryImage::BLOCK_SIZE});
            if (r == ERR_NOT_BLANK) {
                ++dwErased;
                r = comBlockEraseProc(dwBlockAddress, run->codeFlash);
            }
            if (fEraseJob && r == RESULT_OK) {
                advanceProgress(MemoryImage::BLOCK_SIZE);
            }
        }
        if (fEraseJob && r == RESULT_OK && dwErased != dwErasedBefore) {
            r = comBlockBlankCheckProc(*run);
        }
    }
    m_pEvents->stepEnded(JobStep::ERASE, r);
    if (r == RESULT_OK) {
        m_pEvents->blankChecked(dwBlocks - dwErased, dwErased);
    }
    return r;
}

// Programs each run with one Programming command, the progress counted over
// the bytes of all of them.
uint64_t NSSequenceProcessor::programRuns(const std::vector<FlashRun>& runs)
{
    m_pEvents->stepBegan(JobStep::PROGRAM);
    beginProgress(JobStep::PROGRAM, bytesOf(runs));
    uint64_t r = RESULT_OK;
    for (auto run = runs.begin(); run != runs.end() && r == RESULT_OK; ++run) {
        r = comProgrammingProc(*run);
    }
    m_pEvents->stepEnded(JobStep::PROGRAM, r);
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
    uint8_t ck1 = 0;
    uint8_t ck2 = 0;
    const uint64_t r = comChecksum(part, &ck1, &ck2);
    if (r == RESULT_OK) {
        *pwHost = static_cast<uint16_t>(getChecksum(part.pbBytes, part.dwLength));
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
    if (codeFlash) {
        return makeAddress(m_Signature.CodeEndAddress) + 1;
    }
    const uint64_t dwDataEnd = makeAddress(m_Signature.DataEndAddress);
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
    if (bBaudRate >= std::size(NSWaitingTimeCalculator::LINE_SPEEDS)) {
        return ERR_PARAMETER;
    }
    const bool fInvert = InvertDTR != 0;
    driveDtr(true, fInvert);
    m_ComPort->SetBreak();
    m_ComPort->Pause(NSWaitingTimeCalculator::SEND_WAIT);
    m_ComPort->ClearReceiveBuffer();
    driveDtr(false, fInvert);
    const uint64_t dwTransitionStart = m_ComPort->Now();  // DTR back to idle
    m_ComPort->Pause(NSWaitingTimeCalculator::SEND_WAIT);
    m_ComPort->ClearBreak();
    m_ComPort->Pause(NSWaitingTimeCalculator::SEND_WAIT);

    const uint8_t bZero = 0x00;
    uint64_t r = m_ComPort->SendData(&bZero, 1);
    if (r != RESULT_OK) {
        return r;
    }
    r = comBaudRateSetProc(bBaudRate, voltage, dwTransitionStart);
    // The host follows only once the target has acknowledged at the old speed.
    if (bBaudRate != 0 && r == RESULT_OK) {
        r = m_ComPort->ChangeBaudRate(NSWaitingTimeCalculator::LINE_SPEEDS[bBaudRate]);
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

uint64_t NSSequenceProcessor::comBaudRateSetProc(uint8_t bBaudRate, uint8_t voltage, uint64_t dwWindowStart)
{
    return exchange(m_Commands.BaudRateSet(
        bBaudRate, voltage, [this] { return m_ComPort->Now(); }, dwWindowStart));
}

uint64_t NSSequenceProcessor::comResetProc() { return exchange(m_Commands.Reset()); }

uint64_t NSSequenceProcessor::comSiliconSignatureProc()
{
    const uint64_t r = exchange(m_Commands.SiliconSignature(&m_Signature));
    if (r == RESULT_OK) {
        m_pEvents->signatureRead(signature());
    }
    return r;
}

// The device name as text, with '?' for a character other than printable
// ASCII and the spaces that pad it dropped; the flash sizes from the end
// addresses.
DeviceSignature NSSequenceProcessor::signature() const
{
    std::string strName(reinterpret_cast<const char*>(m_Signature.DevName));
    std::replace_if(
        strName.begin(), strName.end(), [](char c) { return c < ' ' || c > '~'; }, '?');
    strName.erase(strName.find_last_not_of(' ') + 1);
    return {.strName = strName,
            .strCode = hexBytes(m_Signature.DevCode, 3),
            .dwCodeFlashSize = flashSize(true),
            .dwDataFlashSize = flashSize(false),
            .strVersion = hexBytes(m_Signature.FVer, 3)};
}

// ---------------------------------------------------------------------------
// Blank check, erase, programming and checksum

// ERR_NOT_BLANK when the target finds a block of the run not blank.
uint64_t NSSequenceProcessor::comBlockBlankCheckProc(const FlashRun& run)
{
    return exchange(m_Commands.BlockBlankCheck(run.dwStartAddress, run.endAddress(), run.codeFlash));
}

uint64_t NSSequenceProcessor::comBlockEraseProc(uint64_t dwStartAddress, bool codeFlash)
{
    return exchange(m_Commands.BlockErase(dwStartAddress, codeFlash));
}

// The Programming command of the run, then its data frames, four per block:
// a partial last block goes out from its own buffer, padded with 0xFF.
uint64_t NSSequenceProcessor::comProgrammingProc(const FlashRun& run)
{
    // Nothing to write is refused rather than reported as written.
    if (run.pbBytes == nullptr || run.dwLength == 0) {
        return ERR_PARAMETER;
    }
    const uint64_t dwBlocks = run.blocks();
    const uint64_t dwRest = run.dwLength % MemoryImage::BLOCK_SIZE;
    const uint64_t r = exchange(m_Commands.Programming(run.dwStartAddress, run.endAddress(), run.codeFlash));
    std::unique_ptr<uint8_t[]> pbLastBlock;
    if (dwRest != 0) {
        pbLastBlock.reset(new (std::nothrow) uint8_t[MemoryImage::BLOCK_SIZE]);
        if (!pbLastBlock) {
            return ERR_INIT;
        }
        std::fill_n(pbLastBlock.get(), MemoryImage::BLOCK_SIZE, uint8_t{0xFF});
        std::memcpy(pbLastBlock.get(), run.pbBytes + (dwBlocks - 1) * MemoryImage::BLOCK_SIZE, dwRest);
    }
    if (r != RESULT_OK) {
        return r;
    }

    constexpr uint64_t FRAMES_PER_BLOCK = MemoryImage::BLOCK_SIZE / BootCommands::DATA_FRAME_PAYLOAD;
    advanceProgress(0);
    for (uint64_t b = 0; b < dwBlocks; ++b) {
        const bool fLastBlock = b == dwBlocks - 1;
        const uint8_t* pbBlock =
            fLastBlock && pbLastBlock ? pbLastBlock.get() : run.pbBytes + b * MemoryImage::BLOCK_SIZE;
        for (uint64_t j = 0; j < FRAMES_PER_BLOCK; ++j) {
            const uint64_t rFrame = exchange(m_Commands.ProgrammingData(
                pbBlock + j * BootCommands::DATA_FRAME_PAYLOAD, fLastBlock && j == FRAMES_PER_BLOCK - 1,
                run.dwStartAddress, run.endAddress(), run.codeFlash));
            if (rFrame != RESULT_OK) {
                return rFrame;
            }
        }
        advanceProgress(std::min(MemoryImage::BLOCK_SIZE, run.dwLength - b * MemoryImage::BLOCK_SIZE));
    }
    return RESULT_OK;
}

uint64_t NSSequenceProcessor::comChecksum(const FlashRun& part, uint8_t* ck1, uint8_t* ck2)
{
    return exchange(m_Commands.Checksum(part.dwStartAddress, part.endAddress(), part.codeFlash, ck1, ck2));
}

// 0 minus the sum of every byte sent, the last block counted as padded with
// 0xFF to a whole block.
uint32_t NSSequenceProcessor::getChecksum(const uint8_t* pbData, uint64_t size)
{
    uint32_t dwSum = 0;
    for (uint64_t i = 0; i < size; ++i) {
        dwSum -= pbData[i];
    }
    const uint64_t dwRest = size % MemoryImage::BLOCK_SIZE;
    if (dwRest != 0) {
        dwSum -= static_cast<uint32_t>((MemoryImage::BLOCK_SIZE - dwRest) * 0xFF);
    }
    return dwSum;
}
