// How late the board's answers to the host's data frames come, beyond the
// line's own time: the data frame's bytes going out and the answer's coming
// in, 11 bits each (8N2 and the start bit) at the line's speed. The board's
// own time for a data frame is taken as none, as the protocol names none
// apart from its timeouts. Over the first FRAMES data frames of a job it finds
// whether every answer came a steady few milliseconds late, as they do when a
// USB serial adapter holds them for its latency timer. Fed by the job's
// events, on the job's thread, with the job's millisecond clock.
#pragma once

#include <cstdint>
#include <optional>

class AnswerDelay {
public:
    static constexpr uint64_t FRAMES = 32;     // the data frames measured
    static constexpr uint64_t STEADY_MS = 3;   // the least delay of each, for a steady one
    static constexpr uint64_t LINE_BITS = 11;  // bits on the line per byte

    // The line runs at dwBaudRate from now on (115200 until told otherwise).
    void lineSpeedSet(uint64_t dwBaudRate);
    // The frame went out on the line at dwMsec.
    void frameSent(const uint8_t* pbFrame, uint64_t dwLength, uint64_t dwMsec);
    // An answer of dwLength bytes was taken at dwMsec. Once in a job, as the
    // answer to the FRAMES-th data frame comes: the average delay in
    // milliseconds, when every one of the FRAMES was STEADY_MS late or more.
    std::optional<double> answerTaken(uint64_t dwLength, uint64_t dwMsec);

private:
    uint64_t m_dwBaudRate = 115200;
    std::optional<uint64_t> m_dwSentMsec;  // when the data frame that waits for its answer went out
    uint64_t m_dwSentLength = 0;
    uint64_t m_dwMeasured = 0;  // data frames whose answer came
    double m_dTotalMs = 0;      // their delays
    bool m_fSteady = true;      // every one of them STEADY_MS late or more
};
