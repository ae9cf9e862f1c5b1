#include "CommandDriver.h"

#include <gtest/gtest.h>

#include "SequenceTestSupport.h"

using namespace seqtest;

namespace {

// A driver whose sequence talks to `board`, which stays owned by the driver.
struct DriverOnScript {
    ScriptedPort* board;
    std::unique_ptr<CommandDriver> driver;

    DriverOnScript() {
        auto port = std::make_unique<ScriptedPort>();
        board = port.get();
        driver = std::make_unique<CommandDriver>(std::move(port));
    }
};

}  // namespace

TEST(CommandDriver, DecodesArgumentsAsUtf8) {
    EXPECT_EQ(CommandDriver::decodeArgument("sketch.bin"), "sketch.bin");
    EXPECT_EQ(CommandDriver::decodeArgument(""), "");
    EXPECT_EQ(CommandDriver::decodeArgument("/dev/ttyスケッチ€𝄞"), "/dev/ttyスケッチ€𝄞");
    EXPECT_EQ(CommandDriver::decodeArgument("\xF4\x8F\xBF\xBF"), "\xF4\x8F\xBF\xBF") << "U+10FFFF";
    const char* invalid[] = {
        "\x80",              // continuation byte alone
        "a\xC3",             // cut short
        "\xE3\x81",          // cut short
        "\xC0\xAF",          // overlong '/'
        "\xE0\x80\xAF",      // overlong '/'
        "\xF0\x80\x80\xAF",  // overlong '/'
        "\xED\xA0\x80",      // surrogate
        "\xF4\x90\x80\x80",  // above U+10FFFF
        "\xF5\x80\x80\x80",  // no such lead byte
        "\xE3\x41\x81",      // ASCII inside a sequence
        "\xFF",
    };
    for (const char* argument : invalid) {
        EXPECT_EQ(CommandDriver::decodeArgument(argument), std::nullopt) << ScriptedPort::hex(
            Bytes(argument, argument + std::char_traits<char>::length(argument)));
    }
}

TEST(CommandDriver, RefusesJobsItCannotDescribeWithoutTouchingThePort) {
    const std::string fits(1023, 'p');
    const std::string tooLong(1024, 'p');
    struct Row {
        const char* what;
        std::optional<std::string> port;
        std::optional<std::string> file;
        uint64_t result;
    };
    const Row rows[] = {
        {"empty port name", "", "sketch.bin", ERR_PORT_NOT_SELECTED},
        {"no port name (not UTF-8)", std::nullopt, "sketch.bin", ERR_PORT_NOT_SELECTED},
        {"no port and no file name", std::nullopt, std::nullopt, ERR_PORT_NOT_SELECTED},
        {"no file name (not UTF-8)", "/dev/ttyX", std::nullopt, ERR_FILE_NOT_FOUND},
        {"port name of 1024 bytes", tooLong, "sketch.bin", ERR_PARAMETER},
        {"image path of 1024 bytes", "/dev/ttyX", tooLong, ERR_PARAMETER},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        DriverOnScript job;
        job.driver->setPortNameStirng(row.port);
        job.driver->setFileNameStirng(row.file);
        job.driver->setBoardNameStirng("ZQ-WILLOW");
        EXPECT_EQ(job.driver->pushWrite(), row.result);
        EXPECT_EQ(job.driver->returnResult(), row.result);
        EXPECT_TRUE(job.board->events().empty()) << "the sequence was started: " << job.board->events().front();
    }

    // 1023 bytes fit, with their terminator, in both fields.
    DriverOnScript job;
    job.board->expectOpen(fits, ERR_PORT_OPEN);
    jobEnd(*job.board);
    job.driver->setPortNameStirng(fits);
    job.driver->setFileNameStirng(fits);
    EXPECT_EQ(job.driver->pushWrite(), ERR_PORT_OPEN);
    EXPECT_EQ(job.board->problems(), "");
}

TEST(CommandDriver, EachJobStartsFromAClearedRecord) {
    const Bytes image = pattern(300);
    DriverOnScript job;
    job.board->expectOpen(PORT);
    modeEntry(*job.board);
    blankCheckAndErase(*job.board, image);
    programAll(*job.board, image);
    verify(*job.board, image);
    jobEnd(*job.board);
    job.driver->setPortNameStirng(PORT);
    job.driver->setFileNameStirng(writeImage(image, "driver.bin"));
    job.driver->setBoardNameStirng("");

    EXPECT_EQ(job.driver->pushWrite(), RESULT_OK);
    EXPECT_EQ(job.driver->returnResult(), RESULT_OK);
    EXPECT_EQ(job.board->problems(), "");

    job.driver->setPortNameStirng("");
    EXPECT_EQ(job.driver->pushWrite(), ERR_PORT_NOT_SELECTED);
    EXPECT_EQ(job.driver->returnResult(), ERR_PORT_NOT_SELECTED);
    EXPECT_EQ(job.driver->returnResult(), ERR_PORT_NOT_SELECTED) << "asked again";

    // A failing job after a successful one: nothing of the first survives.
    job.board->expectOpen(PORT, ERR_PORT_OPEN);
    jobEnd(*job.board);
    job.driver->setPortNameStirng(PORT);
    EXPECT_EQ(job.driver->pushWrite(), ERR_PORT_OPEN);
    EXPECT_EQ(job.driver->returnResult(), ERR_PORT_OPEN);
    EXPECT_EQ(job.board->problems(), "");
}

TEST(CommandDriver, LogLinesPostedForADestroyedDriverAreHarmless) {
    MainDispatchQueue::drain();
    {
        DriverOnScript job;
        job.board->expectOpen(PORT, ERR_PORT_OPEN);
        jobEnd(*job.board);
        job.driver->setPortNameStirng(PORT);
        job.driver->setFileNameStirng("sketch.bin");
        EXPECT_EQ(job.driver->pushWrite(), ERR_PORT_OPEN);
    }
    // The line "## Write Failed" is still queued and holds the sequence; the
    // driver that was its delegate is gone.
    MainDispatchQueue::drain();
}
