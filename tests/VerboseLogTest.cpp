#include "VerboseLog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <regex>

#include "MainDispatchQueue.h"
#include "CommandCodes.h"
#include "ResultCodes.h"

TEST(VerboseLog, ProgressInPlaceOnATerminalByTenthsElsewhereThenTheReason)
{
    for (const bool fTerminal : {true, false}) {
        SCOPED_TRACE(fTerminal ? "terminal" : "pipe");
        std::FILE* pStream = std::tmpfile();
        ASSERT_NE(pStream, nullptr);
        {
            VerboseLog log(pStream, fTerminal);
            for (uint64_t done = 0; done <= 2000; done += 100) {
                log.progress(JobStep::PROGRAM, done, 2000);
            }
            // A transfer that stops half way: the reason goes on a line of its own.
            log.progress(JobStep::PROGRAM, 0, 2000);
            log.progress(JobStep::PROGRAM, 1000, 2000);
            log.jobEnded({.Result = ERR_DATA_FRAME, .ComInfo = {CMD_PROGRAMMING, 0, 0x15, 0, 1}});
            MainDispatchQueue::drain();
        }
        std::string out(static_cast<size_t>(std::ftell(pStream)), '\0');
        std::rewind(pStream);
        out.resize(std::fread(out.data(), 1, out.size(), pStream));
        std::fclose(pStream);
        EXPECT_EQ(std::count(out.begin(), out.end(), '\r'), fTerminal ? 23 : 0) << out;
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), fTerminal ? 3 : 12) << out;
        const std::regex end(
            "50%, 1000 of 2000 bytes, [0-9.]+ KiB/s, [0-9.]+ s left(\x1b\\[K)?\n"
            "error 0x2008: the target refused a data frame \\(Programming, attempt 2\\)\n$");
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
