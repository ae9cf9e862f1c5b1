#include "NSSequenceProcessor.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "MemoryImage.h"

namespace {

constexpr uint8_t VOLTAGE = 33;
constexpr uint64_t CODE_FLASH_START = 0;

// The events of a sequence that nobody listens to.
JobEvents NO_EVENTS;

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
    if (result.Result != RESULT_OK && m_strReason.empty()) {
        m_strReason = m_Exchange.reason();
    }
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
    m_Exchange.beginJob();
    std::vector<FlashRun> runs;
    const JobPlan& plan = m_pRequest->plan;
    if (readsImage(plan.kind)) {
        // The image is loaded first: a bad one never touches the board.
        const uint64_t r = m_TargetFile->ReadFile(m_pRequest->strImagePath);
        if (r != RESULT_OK) {
            m_pEvents->imageRefused(m_TargetFile->GetProblemText());
            return r;
        }
        runs = FlashRun::ofImage(*m_TargetFile);
        m_pEvents->imageLoaded(FlashRun::bytesIn(runs), FlashRun::blocksIn(runs), FlashRun::rangesOf(runs),
                               m_TargetFile->GetContentFormatName());
    }

    // A stop that came before the port opens ends the job untouched: no line
    // moves, no byte goes out.
    if (m_pszStopCause.load() != nullptr) {
        return ERR_RECV_TIMEOUT;
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
    if (r == RESULT_OK && m_Exchange.longestResentWait() != 0) {
        r = proveAgain(runs);
    }
    if (r == RESULT_OK && plan.kind == JOB_WRITE) {
        m_pEvents->imageWritten(FlashRun::bytesIn(runs), m_ComPort->Now() - dwJobStart);
    }
    return r;
}

// A frame that went out more than once may be answered later still, and that
// answer taken for a later frame's. Once the line has been quiet for ten times
// the longest wait of such an exchange (by then an answer ten times later than
// the target may take has come, and a spare one ends the job), the job proves
// its result again with each exchange written once: every checksum it
// compared, or after an erase the blank check of each flash. A timeout, a
// spare answer or a difference ends it.
uint64_t NSSequenceProcessor::proveAgain(const std::vector<FlashRun>& runs)
{
    const uint64_t dwQuiet = NSWaitingTimeCalculator::QUIET_FACTOR * m_Exchange.longestResentWait();
    m_pEvents->provingAgain(dwQuiet);
    uint64_t r = m_Exchange.quiet(dwQuiet);
    const JobPlan& plan = m_pRequest->plan;
    m_Exchange.setOnce(true);
    if (plan.kind == JOB_ERASE) {
        for (auto run = runs.begin(); run != runs.end() && r == RESULT_OK; ++run) {
            r = comBlockBlankCheckProc(*run);
        }
    } else if (r == RESULT_OK && plan.kind != JOB_INFO) {
        r = compareChecksums(runs, plan.kind == JOB_VERIFY || plan.fVerifyBlocks);
    }
    m_Exchange.setOnce(false);
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
    case Step::CHECK_RANGE: return checkRange();
    case Step::BLANK_CHECK_AND_ERASE: return blankCheckAndErase(runs, false);
    case Step::ERASE_AND_PROVE: return blankCheckAndErase(runs, true);
    case Step::PROGRAM: return programRuns(runs);
    case Step::COMPARE_RUNS: return compareChecksums(runs, false);
    case Step::COMPARE_BLOCKS: return compareChecksums(runs, true);
    }
    return ERR_PARAMETER;
}

// The image against the flashes the signature gives: its sizes and start
// addresses, then its blocks, which must end within each flash (a flash whose
// end is not at the end of a block has no room for its last block), with the
// reason.
uint64_t NSSequenceProcessor::checkRange()
{
    const DeviceSignature board = signature();
    const uint64_t r = board.checkSizeAndAddressRange(CODE_FLASH_START, m_TargetFile->GetProgramMemorySize(),
                                                      MemoryImage::DATA_FLASH_START, m_TargetFile->GetDataSize());
    if (r != RESULT_OK) {
        return r;
    }
    return m_TargetFile->checkFits(board.dwCodeFlashSize, board.dwDataFlashSize, &m_strReason);
}

// Appends the whole flashes the erase job asks for, as runs without bytes:
// the code flash, the data flash, or both (the code flash alone where the
// board has no data flash). ERR_DATA_FLASH_SIZE, with its reason, when only
// the data flash is asked for and the signature says there is none.
uint64_t NSSequenceProcessor::flashesToErase(std::vector<FlashRun>* pRuns)
{
    const FlashSet flashes = m_pRequest->plan.eraseFlashes;
    const DeviceSignature board = signature();
    const uint64_t dwDataFlashSize = board.dwDataFlashSize;
    if (flashes == FLASH_DATA && dwDataFlashSize == 0) {
        m_strReason = "the board has no data flash";
        return ERR_DATA_FLASH_SIZE;
    }
    if (flashes != FLASH_DATA) {
        pRuns->push_back({true, CODE_FLASH_START, nullptr, board.dwCodeFlashSize});
    }
    if (flashes != FLASH_CODE && dwDataFlashSize != 0) {
        pRuns->push_back({false, MemoryImage::DATA_FLASH_START, nullptr, dwDataFlashSize});
    }
    return RESULT_OK;
}

// Opens the port and pulls the target into programming mode, with the other
// DTR polarity when it does not answer; the signature is then in the context.
uint64_t NSSequenceProcessor::enterProgrammingMode()
{
    const char* pszPort = m_pRequest->strPortName.c_str();
    uint64_t r = m_ComPort->Open(pszPort, NSWaitingTimeCalculator::MODE_ENTRY_LINE);
    if (r != RESULT_OK) {
        m_strReason = m_ComPort->OpenFailure();  // what the system answered
        return r;
    }
    m_pEvents->portOpened(pszPort, NSWaitingTimeCalculator::LINE_SPEEDS[0], m_ComPort->IsLowLatency(),
                          m_ComPort->LatencyTimer());

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
// blank, showing the bytes done after each block; stops at the first failure.
// The erase job (fEraseJob) proves each flash in which it erased a block with
// one blank check over all its blocks: a target may acknowledge an erase that
// did not erase.
uint64_t NSSequenceProcessor::blankCheckAndErase(const std::vector<FlashRun>& runs, bool fEraseJob)
{
    m_pEvents->stepBegan(JobStep::ERASE);
    const uint64_t dwBlocks = FlashRun::blocksIn(runs);
    beginProgress(JobStep::ERASE, dwBlocks * MemoryImage::BLOCK_SIZE);
    advanceProgress(0);
    uint64_t r = RESULT_OK;
    uint64_t dwErased = 0;
    for (auto run = runs.begin(); run != runs.end() && r == RESULT_OK; ++run) {
        const uint64_t dwErasedBefore = dwErased;
        const std::vector<FlashRun> blocks = FlashRun::blocksOf({*run});
        for (auto block = blocks.begin(); block != blocks.end() && r == RESULT_OK; ++block) {
            r = comBlockBlankCheckProc(*block);
            if (r == ERR_NOT_BLANK) {
                ++dwErased;
                r = comBlockEraseProc(block->dwStartAddress, block->codeFlash);
            }
            if (r == RESULT_OK) {
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
    beginProgress(JobStep::PROGRAM, FlashRun::bytesIn(runs));
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
    const std::vector<FlashRun> parts = fEachBlock ? FlashRun::blocksOf(runs) : runs;
    if (fEachBlock) {
        beginProgress(JobStep::COMPARE, FlashRun::bytesIn(parts));
        advanceProgress(0);
    }
    for (const FlashRun& part : parts) {
        // The target's checksum and the host's, which counts the last block as padded with 0xFF: their low 16 bits.
        uint8_t ck1 = 0;
        uint8_t ck2 = 0;
        const uint64_t r = comChecksum(part, &ck1, &ck2);
        if (r != RESULT_OK) {
            return r;
        }
        const auto wHost = static_cast<uint16_t>(part.checksum());
        const auto wTarget = static_cast<uint16_t>(ck1 | ck2 << 8);
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

void NSSequenceProcessor::beginProgress(JobStep step, uint64_t dwTotal) { m_Progress = {step, 0, dwTotal}; }

void NSSequenceProcessor::advanceProgress(uint64_t dwBytes)
{
    m_Progress.dwDone += dwBytes;
    m_pEvents->progress(m_Progress.step, m_Progress.dwDone, m_Progress.dwTotal);
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

DeviceSignature NSSequenceProcessor::signature() const { return DeviceSignature::of(m_Signature); }

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
    const uint64_t r = exchange(m_Commands.Programming(run.dwStartAddress, run.endAddress(), run.codeFlash));
    if (r != RESULT_OK) {
        return r;
    }
    constexpr uint64_t FRAMES_PER_BLOCK = MemoryImage::BLOCK_SIZE / BootCommands::DATA_FRAME_PAYLOAD;
    uint8_t lastBlock[MemoryImage::BLOCK_SIZE];
    advanceProgress(0);
    for (const FlashRun& block : FlashRun::blocksOf({run})) {
        const uint8_t* pbBlock = block.pbBytes;
        if (block.dwLength < MemoryImage::BLOCK_SIZE) {
            std::fill(std::copy_n(block.pbBytes, block.dwLength, lastBlock), std::end(lastBlock), uint8_t{0xFF});
            pbBlock = lastBlock;
        }
        const bool fLastBlock = block.endAddress() == run.endAddress();
        for (uint64_t j = 0; j < FRAMES_PER_BLOCK; ++j) {
            const uint64_t rFrame = exchange(m_Commands.ProgrammingData(
                pbBlock + j * BootCommands::DATA_FRAME_PAYLOAD, fLastBlock && j == FRAMES_PER_BLOCK - 1,
                run.dwStartAddress, run.endAddress(), run.codeFlash));
            if (rFrame != RESULT_OK) {
                return rFrame;
            }
        }
        advanceProgress(block.dwLength);
    }
    return RESULT_OK;
}

uint64_t NSSequenceProcessor::comChecksum(const FlashRun& part, uint8_t* ck1, uint8_t* ck2)
{
    return exchange(m_Commands.Checksum(part.dwStartAddress, part.endAddress(), part.codeFlash, ck1, ck2));
}
