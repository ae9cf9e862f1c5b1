#include "VerboseLog.h"

#include <algorithm>
#include <utility>

#include "MainDispatchQueue.h"
#include "CommandCodes.h"
#include "Platform.h"
#include "ResultCodes.h"

namespace {

std::string format(const char* pszFormat, auto... values)
{
    char text[160];
    const int length = std::snprintf(text, sizeof text, pszFormat, values...);
    return std::string(text, static_cast<size_t>(std::clamp(length, 0, static_cast<int>(sizeof text) - 1)));
}

// "code flash 0x0-0xBFF": the flash and the first and last address.
std::string rangeText(const FlashRange& range)
{
    return format("%s flash 0x%llX-0x%llX", range.codeFlash ? "code" : "data",
                  static_cast<unsigned long long>(range.dwStart), static_cast<unsigned long long>(range.dwEnd));
}

// The runs that an image line names at most.
constexpr size_t RUNS_SHOWN = 4;

// What the status line and the progress lines call each step, by its number.
constexpr const char* STEP_NAMES[] = {"entering programming mode", "entering programming mode, other DTR polarity",
                                      "erasing", "programming", "comparing"};

// A frame longer than this is shown shortened.
constexpr uint64_t FRAME_SHOWN = 16;

}  // namespace

VerboseLog::VerboseLog(std::FILE* pStream, bool fTerminal, Detail detail)
    : m_pStream(pStream), m_fTerminal(fTerminal), m_detail(detail), m_Start(std::chrono::steady_clock::now())
{
}

void VerboseLog::imageLoaded(uint64_t dwBytes, uint64_t dwBlocks, const std::vector<FlashRange>& runs,
                             const char* pszContentFormat)
{
    if (pszContentFormat != nullptr) {
        show(std::string("image read by its content as ") + pszContentFormat);
    }
    std::string strLine = format("image %llu bytes, %llu blocks of 1024", static_cast<unsigned long long>(dwBytes),
                                 static_cast<unsigned long long>(dwBlocks));
    // An image as a raw binary gives it, one run of the code flash from 0, needs no more words.
    m_fNameRuns = runs.size() != 1 || !runs[0].codeFlash || runs[0].dwStart != 0;
    m_fWrite = true;
    for (size_t i = 0; m_fNameRuns && i < std::min(runs.size(), RUNS_SHOWN); ++i) {
        strLine +=
            (i == 0 ? format(" in %zu run%s: ", runs.size(), runs.size() == 1 ? "" : "s") : ", ") + rangeText(runs[i]);
    }
    if (runs.size() > RUNS_SHOWN) {
        strLine += format(" and %zu more", runs.size() - RUNS_SHOWN);
    }
    show(strLine);
}

void VerboseLog::imageRefused(const std::string& strProblem) { show("image refused: " + strProblem); }

void VerboseLog::portOpened(const char* pszPort, uint64_t dwBaudRate, bool fLowLatency,
                            std::optional<uint64_t> latencyTimer)
{
    m_strPort = pszPort;
    m_fLowLatency = fLowLatency;
    show(std::string("port ") + pszPort + " opened at " + std::to_string(dwBaudRate) + " baud, low latency " +
         (fLowLatency ? "granted" : "not granted by the driver") +
         (latencyTimer ? ", latency timer " + std::to_string(*latencyTimer) + " ms" : ""));
}

void VerboseLog::stepBegan(JobStep step)
{
    if (step == JobStep::MODE_ENTRY) {
        show("mode entry: DTR and break, then Baud Rate Set");
    } else if (step == JobStep::MODE_ENTRY_INVERTED) {
        show("no answer: mode entry again with the other DTR polarity");
    }
    showStatus(step);
}

void VerboseLog::progress(JobStep step, uint64_t dwDone, uint64_t dwTotal)
{
    // Lines of a write's blank check would change what a log of a verbose write holds.
    if (step == JobStep::ERASE && m_fWrite && !m_fTerminal) {
        return;
    }
    const char* pszStep = STEP_NAMES[static_cast<size_t>(step)];
    MainDispatchQueue::async([this, pszStep, dwDone, dwTotal] { showProgress(pszStep, dwDone, dwTotal); });
}

void VerboseLog::signatureRead(const DeviceSignature& signature)
{
    show("device " + signature.strName + " (code " + signature.strCode + "), code flash " +
         std::to_string(signature.dwCodeFlashSize) + " bytes, data flash " + std::to_string(signature.dwDataFlashSize) +
         " bytes, firmware " + signature.strVersion);
}

void VerboseLog::lineSpeedSet(uint64_t dwBaudRate)
{
    m_answerDelay.lineSpeedSet(dwBaudRate);
    show("line speed " + std::to_string(dwBaudRate) + " baud");
}

void VerboseLog::blankChecked(uint64_t dwBlank, uint64_t dwErased)
{
    show("blank check: " + std::to_string(dwBlank) + " blocks blank, " + std::to_string(dwErased) + " erased");
}

void VerboseLog::checksumsCompared(const FlashRange& run, uint16_t wHost, uint16_t wTarget)
{
    show((m_fNameRuns ? "checksum of " + rangeText(run) : std::string("checksum")) +
         format(": host %04X, target %04X", wHost, wTarget));
}

void VerboseLog::blockDiffers(const FlashRange& block, uint16_t wHost, uint16_t wTarget)
{
    show(format("block 0x%llX of the %s flash differs: host %04X, target %04X",
                static_cast<unsigned long long>(block.dwStart), block.codeFlash ? "code" : "data", wHost, wTarget));
}

void VerboseLog::frameSent(const uint8_t* pbFrame, uint64_t dwLength, uint64_t dwMsec)
{
    showFrame(">", pbFrame, dwLength);
    m_answerDelay.frameSent(pbFrame, dwLength, dwMsec);
}

void VerboseLog::answerTaken(const uint8_t* pbFrame, uint64_t dwLength, uint64_t dwMsec)
{
    showFrame("<", pbFrame, dwLength);
    if (const std::optional<double> dLateMs = m_answerDelay.answerTaken(dwLength, dwMsec)) {
        show(format("answers come %.1f ms late on average over %llu data frames: ", *dLateMs,
                    static_cast<unsigned long long>(AnswerDelay::FRAMES)) +
             Platform::latencyRemedy(m_strPort.c_str(), m_fLowLatency));
    }
}

void VerboseLog::noiseDropped(uint64_t dwBytes, const char* pszAnswer)
{
    show(std::to_string(dwBytes) + (dwBytes == 1 ? " byte" : " bytes") + " of noise dropped before " + pszAnswer);
}

void VerboseLog::imageWritten(uint64_t dwBytes, uint64_t dwMsec)
{
    const double dMsec = static_cast<double>(std::max<uint64_t>(dwMsec, 1));
    show(format("written and verified in %.1f s, %.1f KiB/s", dMsec / 1000,
                static_cast<double>(dwBytes) * 1000 / 1024 / dMsec));
}

void VerboseLog::provingAgain(uint64_t dwQuietMsec)
{
    show("a frame went out more than once: after " + std::to_string(dwQuietMsec) +
         " ms of quiet line, each comparison again, once");
}

void VerboseLog::stopAsked() { show("stop asked for: the job ends at its next wait"); }

void VerboseLog::jobEnded(const _RESULTINFO& result)
{
    if (result.Result == RESULT_OK) {
        MainDispatchQueue::async([this] {
            endProgressLine();
            std::fflush(m_pStream);
        });
        return;
    }
    post(failureReason(result), false);
}

std::string VerboseLog::failureReason(const _RESULTINFO& resultInfo)
{
    const ResultCode& code = ResultCodes::of(resultInfo.Result);
    const char* pszMeaning = resultInfo.Reason[0] != '\0' ? resultInfo.Reason
                             : resultInfo.DeviceGone      ? "the serial device went away"
                             : resultInfo.UnaskedAnswer   ? "the target sent an answer that no frame asked for"
                                                          : code.pszMeaning;
    std::string strReason = format("error 0x%04llX: ", static_cast<unsigned long long>(resultInfo.Result)) + pszMeaning;
    // NO_COMMAND, like any code that is no command, names none.
    const char* pszCommand = CommandCodes::nameOf(resultInfo.ComInfo.Command);
    if (code.fInExchange && pszCommand != nullptr) {
        strReason += std::string(" (") + pszCommand + ", attempt " + std::to_string(resultInfo.ComInfo.Retry + 1) + ")";
    }
    return strReason;
}

void VerboseLog::show(std::string strLine)
{
    if (m_detail != STATUS_LINE) {
        post(std::move(strLine), true);
    }
}

// The steps whose progress follows at once show it instead.
void VerboseLog::showStatus(JobStep step)
{
    if (m_detail == STATUS_LINE) {
        MainDispatchQueue::async([this, step] {
            std::fprintf(m_pStream, "\r%s\033[K", STEP_NAMES[static_cast<size_t>(step)]);
            std::fflush(m_pStream);
            m_fProgressOpen = true;
        });
    }
}

void VerboseLog::showFrame(const char* pszDirection, const uint8_t* pbFrame, uint64_t dwLength)
{
    if (m_detail != FRAMES) {
        return;
    }
    std::string strLine = stamp() + pszDirection;
    for (uint64_t i = 0; i < dwLength; ++i) {
        if (dwLength > FRAME_SHOWN && i == 8) {
            strLine += " ..";
            i = dwLength - 4;
        }
        strLine += format(" %02X", pbFrame[i]);
    }
    if (dwLength > FRAME_SHOWN) {
        strLine += format(" (%llu bytes)", static_cast<unsigned long long>(dwLength));
    }
    post(std::move(strLine), false);
}

// The line is written where the queue runs, and stamped then.
void VerboseLog::post(std::string strLine, bool fStamped)
{
    MainDispatchQueue::async([this, strLine = std::move(strLine), fStamped] {
        endProgressLine();
        std::fprintf(m_pStream, "%s%s\n", fStamped ? stamp().c_str() : "", strLine.c_str());
        std::fflush(m_pStream);
    });
}

// The first progress line of a step starts the clock of its rate; on a
// terminal every line rewrites the last, elsewhere only a new tenth gets a line.
void VerboseLog::showProgress(const char* pszStep, uint64_t dwDone, uint64_t dwTotal)
{
    const auto now = std::chrono::steady_clock::now();
    if (dwDone == 0) {
        m_ProgressStart = now;
        m_dwNextTenth = 1;
    }
    const uint64_t dwTenths = dwTotal == 0 ? 0 : dwDone * 10 / dwTotal;  // whole tenths done
    const bool fNewTenth = dwTenths >= m_dwNextTenth;
    if (!m_fTerminal && !fNewTenth) {
        return;
    }
    if (fNewTenth) {
        m_dwNextTenth = dwTenths + 1;
    }
    const double dSeconds = std::chrono::duration<double>(now - m_ProgressStart).count();
    std::string strLine = (m_detail == STATUS_LINE ? "" : stamp()) + pszStep + " " +
                          std::to_string(dwTotal == 0 ? 100 : dwDone * 100 / dwTotal) + "%, " + std::to_string(dwDone) +
                          " of " + std::to_string(dwTotal) + " bytes";
    if (dwDone != 0 && dSeconds > 0) {
        const double dRate = static_cast<double>(dwDone) / dSeconds;
        strLine += format(", %.1f KiB/s, %.1f s left", dRate / 1024, static_cast<double>(dwTotal - dwDone) / dRate);
    }
    if (m_fTerminal) {
        std::fprintf(m_pStream, "\r%s\033[K", strLine.c_str());
        m_fProgressOpen = dwDone < dwTotal || m_detail == STATUS_LINE;
        if (!m_fProgressOpen) {
            std::fputc('\n', m_pStream);
        }
    } else {
        std::fprintf(m_pStream, "%s\n", strLine.c_str());
    }
    std::fflush(m_pStream);
}

// The status line is cleared, and the terminal's line left as it was.
void VerboseLog::endProgressLine()
{
    if (m_fProgressOpen) {
        std::fputs(m_detail == STATUS_LINE ? "\r\033[K" : "\n", m_pStream);
        m_fProgressOpen = false;
    }
}

std::string VerboseLog::stamp() const
{
    return format("%8.3fs  ", std::chrono::duration<double>(std::chrono::steady_clock::now() - m_Start).count());
}
