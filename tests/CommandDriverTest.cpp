#include "CommandDriver.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "MainDispatchQueue.h"
#include "ScriptedPort.h"

// A driver whose sequence talks to `board`, which the driver owns.
struct DriverOnScript {
    ScriptedPort* board = new ScriptedPort;
    CommandDriver driver{std::unique_ptr<NSSerialPortProcessor>(board)};
};

TEST(CommandDriver, RefusesJobsItCannotDescribeWithoutStartingTheSequence) {
    const std::string tooLong(1024, 'p');
    const struct {
        const char* what;
        std::optional<std::string> port, file;
        uint64_t result;
    } rows[] = {
        {"empty port name", "", "image.bin", ERR_PORT_NOT_SELECTED},
        {"no port name", std::nullopt, "image.bin", ERR_PORT_NOT_SELECTED},
        {"no file name", "/dev/ttyX", std::nullopt, ERR_FILE_NOT_FOUND},
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
    const std::string port(1023, 'p');
    // An image path of 1023 bytes: slashes repeated name the same file.
    const std::string image = ::testing::TempDir() + "quenwick-driver.bin";
    std::ofstream(image) << "x";
    const std::string longImage = std::string(1023 - image.size(), '/') + image;
    {
        DriverOnScript job;
        job.board->expectOpen(port, ERR_PORT_OPEN).expectDtr(true).expectClose();
        job.driver.setPortNameStirng(port);
        job.driver.setFileNameStirng(longImage);
        EXPECT_EQ(job.driver.pushWrite(), ERR_PORT_OPEN);
        EXPECT_EQ(job.driver.returnResult(), ERR_PORT_OPEN);
        EXPECT_EQ(job.board->problems(), "");
    }
    // "## Write Failed" is still queued for the driver that is gone.
    MainDispatchQueue::drain();
    std::remove(image.c_str());
}
