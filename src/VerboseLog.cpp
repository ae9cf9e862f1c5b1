#include "VerboseLog.h"

#include "NSCommandProcessor.h"
#include "ResultCodes.h"

namespace {

const char* commandName(uint8_t bCommand)
{
    switch (bCommand) {
    case NSCommandProcessor::CMD_RESET: return "Reset";
    case NSCommandProcessor::CMD_BAUD_RATE_SET: return "Baud Rate Set";
    case NSCommandProcessor::CMD_SILICON_SIGNATURE: return "Silicon Signature";
    case NSCommandProcessor::CMD_BLOCK_ERASE: return "Block Erase";
    case NSCommandProcessor::CMD_BLOCK_BLANK_CHECK: return "Block Blank Check";
    case NSCommandProcessor::CMD_PROGRAMMING: return "Programming";
    case NSCommandProcessor::CMD_CHECKSUM: return "Checksum";
    default: return nullptr;
    }
}

}  // namespace

VerboseLog::VerboseLog(std::FILE* pStream, bool fTerminal)
    : m_pStream(pStream), m_fTerminal(fTerminal), m_Start(std::chrono::steady_clock::now())
{
}

void VerboseLog::addLine(const std::string& strLog)
{
    if (strLog.empty() || strLog[0] == '#' || strLog[0] == ' ') {
        return;
    }
    std::string strStep;
    uint64_t dwDone = 0;
    uint64_t dwTotal = 0;
    if (NSSequenceProcessor::parseProgressLine(strLog, &strStep, &dwDone, &dwTotal)) {
        showProgress(strStep, dwDone, dwTotal);
        return;
    }
    endProgressLine();
    std::fprintf(m_pStream, "%s%s\n", stamp().c_str(), strLog.c_str());
    std::fflush(m_pStream);
}

void VerboseLog::addFailure(const _RESULTINFO& resultInfo)
{
    endProgressLine();
    std::fprintf(m_pStream, "%s\n", failureReason(resultInfo).c_str());
    std::fflush(m_pStream);
}

std::string VerboseLog::failureReason(const _RESULTINFO& resultInfo)
{
    char line[160];
    const ResultCode& code = ResultCodes::of(resultInfo.Result);
    const char* pszMeaning = resultInfo.Reason[0] != '\0' ? resultInfo.Reason
                             : resultInfo.DeviceGone      ? "the serial device went away"
                             : resultInfo.UnaskedAnswer   ? "the target sent an answer that no frame asked for"
                                                          : code.pszMeaning;
    const int length = std::snprintf(line, sizeof line, "error 0x%04llX: %s",
                                     static_cast<unsigned long long>(resultInfo.Result), pszMeaning);
    std::string strReason(line, static_cast<size_t>(length));
    const char* pszCommand = commandName(resultInfo.ComInfo.Command);
    // CommandDriver::NO_COMMAND, like any code that is no command, names none.
    if (code.fInExchange && pszCommand != nullptr) {
        strReason += std::string(" (") + pszCommand + ", attempt " + std::to_string(resultInfo.ComInfo.Retry + 1) + ")";
    }
    return strReason;
}

// The first progress line starts the clock of the rate; on a terminal every
// line rewrites the last, elsewhere only a new tenth gets a line.
void VerboseLog::showProgress(const std::string& strStep, uint64_t dwDone, uint64_t dwTotal)
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
    std::string strLine = stamp() + strStep + " " + std::to_string(dwTotal == 0 ? 100 : dwDone * 100 / dwTotal) +
                          "%, " + std::to_string(dwDone) + " of " + std::to_string(dwTotal) + " bytes";
    if (dwDone != 0 && dSeconds > 0) {
        const double dRate = static_cast<double>(dwDone) / dSeconds;
        char rate[64];
        std::snprintf(rate, sizeof rate, ", %.1f KiB/s, %.1f s left", dRate / 1024,
                      static_cast<double>(dwTotal - dwDone) / dRate);
        strLine += rate;
    }
    if (m_fTerminal) {
        std::fprintf(m_pStream, "\r%s\033[K", strLine.c_str());
        m_fProgressOpen = dwDone < dwTotal;
        if (!m_fProgressOpen) {
            std::fputc('\n', m_pStream);
        }
    } else {
        std::fprintf(m_pStream, "%s\n", strLine.c_str());
    }
    std::fflush(m_pStream);
}

void VerboseLog::endProgressLine()
{
    if (m_fProgressOpen) {
        std::fputc('\n', m_pStream);
        m_fProgressOpen = false;
    }
}

std::string VerboseLog::stamp() const
{
    char text[32];
    std::snprintf(text, sizeof text, "%8.3fs  ",
                  std::chrono::duration<double>(std::chrono::steady_clock::now() - m_Start).count());
    return text;
}
