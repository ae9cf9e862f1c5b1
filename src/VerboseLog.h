// What the command line shows in verbose mode, on one stream: the job's steps
// with the time since the program started, the progress of the programming
// step (on a terminal one line rewritten in place, otherwise one line per
// tenth), and the reason of a failure.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "NSSequenceProcessor.h"

class VerboseLog {
public:
    VerboseLog(std::FILE* pStream, bool fTerminal);

    // One line of the sequence's log. Its headings and result texts (lines
    // that begin with '#' or a space) are its record for other delegates and
    // are not shown.
    void addLine(const std::string& strLog);
    // Shows failureReason on a line of its own.
    void addFailure(const _RESULTINFO& resultInfo);
    // "error 0xNNNN: <meaning> (<command>, attempt N)"; without the part in
    // parentheses when the failure is not a command's (no exchange had begun,
    // or the code is about the port or the image).
    static std::string failureReason(const _RESULTINFO& resultInfo);

private:
    void showProgress(const std::string& strStep, uint64_t dwDone, uint64_t dwTotal);
    void endProgressLine();
    std::string stamp() const;

    std::FILE* m_pStream;
    bool m_fTerminal;
    std::chrono::steady_clock::time_point m_Start;
    std::chrono::steady_clock::time_point m_ProgressStart;
    uint64_t m_dwNextTenth = 1;    // the next tenth of the image that gets a line
    bool m_fProgressOpen = false;  // a progress line waits for its line feed
};
