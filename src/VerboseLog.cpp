#include "VerboseLog.h"

#include "NSCommandProcessor.h"

namespace {

const char* meaningOf(uint64_t dwResult)
{
    switch (dwResult) {
    case ERR_PORT_INFO: return "the port's details cannot be read";
    case ERR_PORT_NOT_SELECTED: return "no port was given";
    case ERR_PORT_OPEN: return "the port cannot be opened";
    case ERR_INIT: return "memory for the frame buffers is lacking";
    case ERR_FRAME_FORMAT: return "the target's answer is malformed";
    case ERR_PARAMETER: return "a name or value is too long or out of range";
    case ERR_SUM: return "the target's answer has a wrong sum byte";
    case ERR_SEND: return "writing to the port failed";
    case ERR_RECV_TIMEOUT: return "the target did not answer in time";
    case ERR_SEND_TIMEOUT: return "sending took too long";
    case ERR_COMMAND_FRAME: return "the target refused the command";
    case ERR_DATA_FRAME: return "the target refused a data frame";
    case ERR_MODE_ENTRY_TIMEOUT: return "the target did not enter programming mode";
    case ERR_NOT_BLANK: return "a block is still not blank after its erase";
    case ERR_BAUD_RATE: return "the port cannot take the new line speed";
    case ERR_BUFFER_OVERFLOW: return "the target sent more than the receive buffer holds";
    case ERR_CHECKSUM_MISMATCH: return "the target's checksum differs from the image's";
    case ERR_FILE_NOT_FOUND: return "the image file does not exist";
    case ERR_FILE_FORMAT: return "the image's format is unknown or its file is malformed";
    case ERR_FILE_SIZE: return "the image gives no byte or its file is too large";
    case ERR_FILE_READ: return "the image is not a regular file or cannot be read";
    case ERR_CODE_FLASH_SIZE: return "the image is larger than the target's code flash";
    case ERR_DATA_FLASH_SIZE: return "the data image is larger than the target's data flash";
    case ERR_CODE_FLASH_ADDRESS: return "the image does not fit the code flash at its address";
    case ERR_DATA_FLASH_ADDRESS: return "the data image does not fit the data flash at its address";
    default: return "an unknown error";
    }
}

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
    const char* pszMeaning = resultInfo.Reason[0] != '\0' ? resultInfo.Reason
                             : resultInfo.DeviceGone      ? "the serial device went away"
                             : resultInfo.UnaskedAnswer   ? "the target sent an answer that no frame asked for"
                                                          : meaningOf(resultInfo.Result);
    const int length = std::snprintf(line, sizeof line, "error 0x%04llX: %s",
                                     static_cast<unsigned long long>(resultInfo.Result), pszMeaning);
    std::string strReason(line, static_cast<size_t>(length));
    const char* pszCommand = commandName(resultInfo.ComInfo.Command);
    const bool fLineFailure = resultInfo.Result > ERR_INIT && resultInfo.Result <= ERR_CHECKSUM_MISMATCH;
    // CommandDriver::NO_COMMAND, like any code that is no command, names none.
    if (fLineFailure && pszCommand != nullptr) {
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
