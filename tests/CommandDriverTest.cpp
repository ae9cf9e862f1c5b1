#include "CommandDriver.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "ResultCodes.h"
#include "ScriptedBoard.h"

// One driver takes every row in turn. Long names are taken as they are, and
// that job reaches the board, which refuses its Baud Rate Set (ST1 0x15).
// Every later job is refused before the sequence starts, with a record of its
// own: no status of the job before.
TEST(CommandDriver, RefusesJobsItCannotDescribeAndStartsEachFromAClearRecord)
{
    // An image path of 1023 bytes: its first separator repeated names the same file.
    const std::string image = ::testing::TempDir() + "quenwick-driver.bin";
    std::ofstream(image) << "x";
    const size_t root = image.find_first_of("/\\");
    const std::string port(1023, 'p'),
        longImage = image.substr(0, root) + std::string(1023 - image.size(), image[root]) + image.substr(root);
    // The table is laid out by hand, a row a line, between clang-format off and
    // on: clang-format would put each field of a long row on a line of its own.
    // clang-format off
    const struct {
        const char* what;
        std::string port, file;
        uint64_t result;
        const char* reason = "";
    } rows[] = {
        {.what = "names of 1023 bytes", .port = port, .file = longImage, .result = ERR_COMMAND_FRAME},
        {.what = "no port", .port = "", .file = image, .result = ERR_PORT_NOT_SELECTED},
    };
    // clang-format on
    {
        ScriptedBoard* pScript = nullptr;
        auto board = ScriptedBoard::port(&pScript);
        ScriptedBoard& script = *pScript;
        script.expectOpen(port).expectDtr(true).expectBreak(true).expectFlush().expectDtr(false).expectBreak(false);
        script.expectSend({0x00}).expectSend({0x01, 0x03, 0x9A, 0x00, 0x21, 0x42, 0x03});
        script.answer({0x02, 0x01, 0x15, 0xEA, 0x03}).expectDtr(true).expectClose();
        CommandDriver driver(std::move(board), nullptr);
        for (const auto& row : rows) {
            SCOPED_TRACE(row.what);
            EXPECT_EQ(driver.pushJob({.strImagePath = row.file, .strPortName = row.port}), row.result);
            EXPECT_EQ(driver.returnResult(), row.result);
            EXPECT_EQ(driver.resultInfo().ComInfo.ST1, row.result == ERR_COMMAND_FRAME ? 0x15 : 0);
            EXPECT_STREQ(driver.resultInfo().Reason, row.reason);
            EXPECT_EQ(script.problems(), "") << "only the first job may reach the board";
        }
    }
    std::remove(image.c_str());
}
