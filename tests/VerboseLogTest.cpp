#include "VerboseLog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <regex>

#include "MainDispatchQueue.h"
#include "CommandCodes.h"
#include "ResultCodes.h"

// How each kind of stream shows a step's progress, a second start, a frame
// sent and an answer taken (only with the frames), and the reason of a failure.
TEST(VerboseLog, ProgressInPlaceOnATerminalByTenthsElsewhereThenTheReason)
{
    const struct {
        const char* what;
        bool fTerminal;
        VerboseLog::Detail detail;
        long returns, feeds;  // carriage returns and line feeds
        std::string end;      // a regular expression
    } rows[] = {
        {.what = "terminal",
         .fTerminal = true,
         .detail = VerboseLog::STEPS,
         .returns = 23,
         .feeds = 3,
         .end = "50%, 1000 of 2000 bytes, [0-9.]+ KiB/s, [0-9.]+ s left\x1b\\[K\n"},
        {.what = "pipe",
         .fTerminal = false,
         .detail = VerboseLog::STEPS,
         .returns = 0,
         .feeds = 12,
         .end = "50%, 1000 of 2000 bytes, [0-9.]+ KiB/s, [0-9.]+ s left\n"},
        // The status line: no stamp, no line feed of its own, cleared before the reason.
        {.what = "status line",
         .fTerminal = true,
         .detail = VerboseLog::STATUS_LINE,
         .returns = 24,
         .feeds = 1,
         .end = "\rprogramming 50%, 1000 of 2000 bytes, [0-9.]+ KiB/s, [0-9.]+ s left\x1b\\[K\r\x1b\\[K"},
        {.what = "frames",
         .fTerminal = false,
         .detail = VerboseLog::FRAMES,
         .returns = 0,
         .feeds = 14,
         .end = "50%, 1000 of 2000 bytes, [0-9.]+ KiB/s, [0-9.]+ s left\n"
                " *[0-9]+\\.[0-9]{3}s  > 02 00 00 01 02 03 04 05 \\.\\. FE FF 00 01 \\(260 bytes\\)\n"
                " *[0-9]+\\.[0-9]{3}s  < 02 01 15 EA 03\n"},
    };
    uint8_t dataFrame[260];
    for (size_t i = 0; i < sizeof dataFrame; ++i) {
        dataFrame[i] = static_cast<uint8_t>(i < 2 ? 2 - 2 * i : i - 2);
    }
    const uint8_t answer[] = {0x02, 0x01, 0x15, 0xEA, 0x03};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::FILE* pStream = std::tmpfile();
        ASSERT_NE(pStream, nullptr);
        {
            VerboseLog log(pStream, row.fTerminal, row.detail);
            for (uint64_t done = 0; done <= 2000; done += 100) {
                log.progress(JobStep::PROGRAM, done, 2000);
            }
            // A transfer that stops half way: the reason goes on a line of its own.
            log.progress(JobStep::PROGRAM, 0, 2000);
            log.progress(JobStep::PROGRAM, 1000, 2000);
            log.frameSent(dataFrame, sizeof dataFrame, 0);
            log.answerTaken(answer, sizeof answer, 0);
            log.jobEnded({.Result = ERR_DATA_FRAME, .ComInfo = {CMD_PROGRAMMING, 0, 0x15, 0, 1}});
            MainDispatchQueue::drain();
        }
        std::string out(static_cast<size_t>(std::ftell(pStream)), '\0');
        std::rewind(pStream);
        out.resize(std::fread(out.data(), 1, out.size(), pStream));
        std::fclose(pStream);
        EXPECT_EQ(std::count(out.begin(), out.end(), '\r'), row.returns) << out;
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), row.feeds) << out;
        const std::regex end(row.end + "error 0x2008: the target refused a data frame \\(Programming, attempt 2\\)\n$");
        EXPECT_TRUE(std::regex_search(out, end)) << out;
    }
    // A failure names the command under way, if there is one, and only when it
    // happened on the line (the end-to-end failures show a named command with
    // its attempt, and a device that went away).
    EXPECT_EQ(VerboseLog::failureReason({.Result = 0x4000, .ComInfo = {CMD_CHECKSUM, 0, 0, 0, 0}}),
              "error 0x4000: an unknown error");
    EXPECT_EQ(VerboseLog::failureReason({.Result = ERR_SEND, .ComInfo = {NO_COMMAND, 0, 0, 0, 0}}),
              "error 0x2004: writing to the port failed");
}
