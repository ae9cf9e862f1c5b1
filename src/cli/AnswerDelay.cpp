#include "AnswerDelay.h"

#include <algorithm>

namespace {

// The first byte of a data frame that the host sends (STX); its command frames begin with SOH.
constexpr uint8_t DATA_FRAME = 0x02;

}  // namespace

void AnswerDelay::lineSpeedSet(uint64_t dwBaudRate) { m_dwBaudRate = dwBaudRate; }

void AnswerDelay::frameSent(const uint8_t* pbFrame, uint64_t dwLength, uint64_t dwMsec)
{
    m_dwSentMsec.reset();
    if (dwLength > 0 && pbFrame[0] == DATA_FRAME) {
        m_dwSentMsec = dwMsec;
        m_dwSentLength = dwLength;
    }
}

std::optional<double> AnswerDelay::answerTaken(uint64_t dwLength, uint64_t dwMsec)
{
    if (!m_dwSentMsec || m_dwMeasured >= FRAMES || m_dwBaudRate == 0) {
        return std::nullopt;
    }
    const double dLineMs =
        static_cast<double>((m_dwSentLength + dwLength) * LINE_BITS) * 1000 / static_cast<double>(m_dwBaudRate);
    const double dLateMs = std::max(0.0, static_cast<double>(dwMsec - *m_dwSentMsec) - dLineMs);
    m_dwSentMsec.reset();
    m_dTotalMs += dLateMs;
    m_fSteady = m_fSteady && dLateMs >= STEADY_MS;
    if (++m_dwMeasured < FRAMES || !m_fSteady) {
        return std::nullopt;
    }
    return m_dTotalMs / FRAMES;
}
