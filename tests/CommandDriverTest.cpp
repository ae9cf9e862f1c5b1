#include "CommandDriver.h"

#include <gtest/gtest.h>

#include "MainDispatchQueue.h"
#include "ScriptedPort.h"

// A driver whose sequence talks to `board`, which the driver owns.
struct DriverOnScript {
    ScriptedPort* board = new ScriptedPort;
    CommandDriver driver{std::unique_ptr<NSSerialPortProcessor>(board)};
};

TEST(CommandDriver, TakesOnlyValidUtf8Arguments) {
    EXPECT_EQ(CommandDriver::decodeArgument(""), "");
    EXPECT_EQ(CommandDriver::decodeArgument("/dev/ttyスケッチ€𝄞\xF4\x8F\xBF\xBF"), "/dev/ttyスケッチ€𝄞\xF4\x8F\xBF\xBF");
    // A lone continuation byte, a cut-short sequence, an overlong '/', a
    // surrogate, a code point above U+10FFFF.
    for (const char* argument : {"\x80", "a\xE3\x81", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80"}) {
        EXPECT_EQ(CommandDriver::decodeArgument(argument), std::nullopt) << ScriptedPort::hex(
            ScriptedPort::Bytes(argument, argument + std::char_traits<char>::length(argument)));
    }
}

TEST(CommandDriver, RefusesJobsItCannotDescribeWithoutStartingTheSequence) {
    const std::string tooLong(1024, 'p');
    const struct {
        const char* what;
        std::optional<std::string> port, file;
        uint64_t result;
    } rows[] = {
        {"empty port name", "", "image.bin", ERR_PORT_NOT_SELECTED},
        {"no port name (not UTF-8)", std::nullopt, "image.bin", ERR_PORT_NOT_SELECTED},
        {"no file name (not UTF-8)", "/dev/ttyX", std::nullopt, ERR_FILE_NOT_FOUND},
        {"port name of 1024 bytes", tooLong, "image.bin", ERR_PARAMETER},
        {"image path of 1024 bytes", "/dev/ttyX", tooLong, ERR_PARAMETER},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        DriverOnScript job;
        job.driver.setPortNameStirng(row.port);
        job.driver.setFileNameStirng(row.file);
        EXPECT_EQ(job.driver.pushWrite(), row.result);
        EXPECT_EQ(job.driver.returnResult(), row.result);
        EXPECT_EQ(job.board->events(), std::vector<std::string>{}) << "the sequence was started";
    }
}

TEST(CommandDriver, NamesOf1023BytesFitAndTheDriverMayGoBeforeTheLogIsDrained) {
    const std::string fits(1023, 'p');
    {
        DriverOnScript job;
        job.board->expectOpen(fits, ERR_PORT_OPEN).expectDtr(true).expectClose();
        job.driver.setPortNameStirng(fits);
        job.driver.setFileNameStirng(fits);
        EXPECT_EQ(job.driver.pushWrite(), ERR_PORT_OPEN);
        EXPECT_EQ(job.driver.returnResult(), ERR_PORT_OPEN);
        EXPECT_EQ(job.board->problems(), "");
    }
    // "## Write Failed" is still queued for the driver that is gone.
    MainDispatchQueue::drain();
}
