// Blank check, erase, programming and the checksum comparison: what is
// retried, what never is, and every way each exchange can fail on the line.
#include <functional>

#include "SequenceTestSupport.h"

using namespace seqtest;

namespace {

// A one-block image (1000 bytes: four frames, the last padded).
const Bytes& image() {
    static const Bytes bytes = pattern(1000);
    return bytes;
}

const std::string& imagePath() {
    static const std::string path = writeImage(image(), "programming.bin");
    return path;
}

// The job through the mode entry, then `board`, then the end steps.
JobOutcome flashJob(const std::function<void(ScriptedPort&)>& board) {
    auto port = std::make_unique<ScriptedPort>();
    port->expectOpen(PORT);
    modeEntry(*port);
    board(*port);
    jobEnd(*port);
    return runJob(std::move(port), imagePath());
}

void blank(ScriptedPort& p) { blankCheckAndErase(p, image()); }

void toDataFrames(ScriptedPort& p) {
    blank(p);
    p.expectSend(programming(0x3FF)).answer(status(ACK));
}

// Frames 0..n-1 acknowledged.
void framesUpTo(ScriptedPort& p, size_t n) {
    toDataFrames(p);
    for (size_t i = 0; i < n; ++i) {
        p.expectSend(imageFrame(image(), i)).answer(status(ACK));
    }
}

Bytes lastFrame() { return imageFrame(image(), 3); }

void toChecksum(ScriptedPort& p) {
    blank(p);
    programAll(p, image());
}

const std::vector<std::string> FAILED_IN_BLANK_CHECK{"## Programming Mode\n", "## Block Blank Check & Erace...",
                                                     "", "## Write Failed"};
const std::vector<std::string> FAILED_IN_PROGRAMMING{"## Programming Mode\n", "## Block Blank Check & Erace...",
                                                     " OK\n", "## Programming...", "", "## Write Failed"};
const std::vector<std::string> FAILED_AFTER_PROGRAMMING{"## Programming Mode\n", "## Block Blank Check & Erace...",
                                                        " OK\n", "## Programming...", " OK\n", "## Write Failed"};

}  // namespace

TEST(NSSequenceProcessorProgramming, FailuresOnTheLine) {
    struct Row {
        const char* what;
        std::function<void(ScriptedPort&)> board;
        uint64_t result;
        const std::vector<std::string>& log;  // "" stands for the result text
        uint8_t command;
        uint64_t retry;
    };
    const Row rows[] = {
        {"blank check silent: one frame, no pause, no second attempt",
         [](ScriptedPort& p) { p.expectSend(blankCheck(0)); }, ERR_RECV_TIMEOUT, FAILED_IN_BLANK_CHECK, 0x32, 0},
        {"blank check refused with 0x04",
         [](ScriptedPort& p) { p.expectSend(blankCheck(0)).answer(status(0x04)); }, ERR_COMMAND_FRAME,
         FAILED_IN_BLANK_CHECK, 0x32, 0},
        {"blank check answered with six bytes",
         [](ScriptedPort& p) { p.expectSend(blankCheck(0)).answer(status(0x1B, 0x1B)); }, ERR_RECV_TIMEOUT,
         FAILED_IN_BLANK_CHECK, 0x32, 0},
        {"blank check answer with a wrong sum",
         [](ScriptedPort& p) { p.expectSend(blankCheck(0)).answer(badSum(status(ACK))); }, ERR_SUM,
         FAILED_IN_BLANK_CHECK, 0x32, 0},
        {"erase silent twice, then refused",
         [](ScriptedPort& p) {
             p.expectSend(blankCheck(0)).answer(status(0x1B));
             p.expectSend(erase(0)).expectSend(erase(0)).expectSend(erase(0)).answer(status(0x04));
         },
         ERR_COMMAND_FRAME, FAILED_IN_BLANK_CHECK, 0x22, 2},
        {"erase answered with six bytes",
         [](ScriptedPort& p) {
             p.expectSend(blankCheck(0)).answer(status(0x1B));
             p.expectSend(erase(0)).answer(status(ACK, ACK));
         },
         ERR_RECV_TIMEOUT, FAILED_IN_BLANK_CHECK, 0x22, 0},
        {"Programming command refused",
         [](ScriptedPort& p) {
             blank(p);
             p.expectSend(programming(0x3FF)).answer(status(0x05));
         },
         ERR_COMMAND_FRAME, FAILED_IN_PROGRAMMING, 0x40, 0},
        {"data frame refused: never retried",
         [](ScriptedPort& p) {
             framesUpTo(p, 1);
             p.expectSend(imageFrame(image(), 1)).answer(status(0x15));
         },
         ERR_DATA_FRAME, FAILED_IN_PROGRAMMING, 0x40, 0},
        {"data frame half acknowledged (06 15)",
         [](ScriptedPort& p) {
             framesUpTo(p, 0);
             p.expectSend(imageFrame(image(), 0)).answer(status(ACK, 0x15));
         },
         ERR_DATA_FRAME, FAILED_IN_PROGRAMMING, 0x40, 0},
        {"data frame answered with seven bytes: never retried",
         [](ScriptedPort& p) {
             framesUpTo(p, 0);
             p.expectSend(imageFrame(image(), 0)).answer(dataFrame({ACK, ACK, ACK}));
         },
         ERR_RECV_TIMEOUT, FAILED_IN_PROGRAMMING, 0x40, 0},
        {"data frame status with a wrong sum: never retried",
         [](ScriptedPort& p) {
             framesUpTo(p, 0);
             p.expectSend(imageFrame(image(), 0)).answer(badSum(status(ACK)));
         },
         ERR_SUM, FAILED_IN_PROGRAMMING, 0x40, 0},
        {"data frame cannot be written: five attempts",
         [](ScriptedPort& p) {
             framesUpTo(p, 2);
             for (int i = 0; i < 5; ++i) {
                 p.expectSend(imageFrame(image(), 2), ERR_SEND);
             }
         },
         ERR_SEND, FAILED_IN_PROGRAMMING, 0x40, 4},
        {"final status refused",
         [](ScriptedPort& p) {
             framesUpTo(p, 3);
             p.expectSend(lastFrame()).answer(status(ACK)).answer(status(0x05));
         },
         ERR_DATA_FRAME, FAILED_IN_PROGRAMMING, 0x40, 0},
        {"final status of six bytes",
         [](ScriptedPort& p) {
             framesUpTo(p, 3);
             p.expectSend(lastFrame()).answer(status(ACK)).answer(status(ACK, ACK));
         },
         ERR_RECV_TIMEOUT, FAILED_IN_PROGRAMMING, 0x40, 0},
        {"last frame's status silent twice, then the final status refused",
         [](ScriptedPort& p) {
             framesUpTo(p, 3);
             p.expectSend(lastFrame()).expectSend(lastFrame()).expectSend(lastFrame());
             p.answer(status(ACK)).answer(status(0x05));
         },
         ERR_DATA_FRAME, FAILED_IN_PROGRAMMING, 0x40, 2},
        {"Checksum command refused",
         [](ScriptedPort& p) {
             toChecksum(p);
             p.expectSend(checksum(0x3FF)).answer(status(0x05));
         },
         ERR_COMMAND_FRAME, FAILED_AFTER_PROGRAMMING, 0xB0, 0},
        {"checksum data never comes: the command is not sent again",
         [](ScriptedPort& p) {
             toChecksum(p);
             p.expectSend(checksum(0x3FF)).answer(status(ACK));
         },
         ERR_RECV_TIMEOUT, FAILED_AFTER_PROGRAMMING, 0xB0, 0},
        {"checksum data with one byte",
         [](ScriptedPort& p) {
             toChecksum(p);
             p.expectSend(checksum(0x3FF)).answer(status(ACK)).answer(dataFrame({0x12}));
         },
         ERR_RECV_TIMEOUT, FAILED_AFTER_PROGRAMMING, 0xB0, 0},
        {"checksum data with a wrong sum",
         [](ScriptedPort& p) {
             toChecksum(p);
             p.expectSend(checksum(0x3FF)).answer(status(ACK)).answer(badSum(dataFrame({0x12, 0x34})));
         },
         ERR_SUM, FAILED_AFTER_PROGRAMMING, 0xB0, 0},
        {"checksums differ in CK2 only",
         [](ScriptedPort& p) {
             toChecksum(p);
             const uint16_t sum = targetChecksum(image());
             p.expectSend(checksum(0x3FF))
                 .answer(status(ACK))
                 .answer(dataFrame({static_cast<uint8_t>(sum), static_cast<uint8_t>((sum >> 8) ^ 0x01)}));
         },
         ERR_CHECKSUM_MISMATCH, FAILED_AFTER_PROGRAMMING, 0xB0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const JobOutcome job = flashJob(row.board);
        EXPECT_EQ(job.result, row.result);
        EXPECT_EQ(job.problems, "");
        EXPECT_EQ(job.info.Result, row.result);
        EXPECT_EQ(job.info.ComInfo.Command, row.command);
        EXPECT_EQ(job.info.ComInfo.Retry, row.retry);
        std::vector<std::string> log = row.log;
        for (std::string& line : log) {
            if (line.empty()) {
                line = NSSequenceProcessor::getResultText(row.result);
            }
        }
        EXPECT_EQ(job.log, log);
    }
}

TEST(NSSequenceProcessorProgramming, DataFramesThatFailToLeaveOrGetNoAnswerGoOutAgain) {
    const Bytes& img = image();
    const JobOutcome job = flashJob([&](ScriptedPort& p) {
        toDataFrames(p);
        p.expectSend(imageFrame(img, 0), ERR_SEND).expectSend(imageFrame(img, 0)).answer(status(ACK));
        p.expectSend(imageFrame(img, 1)).answer(status(ACK, ACK));
        // Frame 3 silent twice, then acknowledged.
        p.expectSend(imageFrame(img, 2)).expectSend(imageFrame(img, 2)).expectSend(imageFrame(img, 2));
        p.answer(status(ACK));
        // The final status does not come in time: the last frame goes out again.
        p.expectSend(lastFrame()).answer(status(ACK));
        p.expectSend(lastFrame()).answer(status(ACK)).answer(status(ACK));
        verify(p, img);
    });
    EXPECT_EQ(job.result, RESULT_OK);
    EXPECT_EQ(job.problems, "");
    // One send failure and three silences, each followed by a pause.
    EXPECT_GE(job.elapsed.count(), 4 * 100 + 2 * 176 + 102);
}
