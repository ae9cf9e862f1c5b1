// Mode entry: the DTR and break choreography, the Baud Rate Set window and the
// retry with the other DTR polarity, the speed change, Reset and the silicon
// signature, with every way each can fail on the line.
#include <functional>

#include "SequenceTestSupport.h"

using namespace seqtest;

namespace {

// The job up to and including the 0x00 byte, then `board`, then the end steps.
JobOutcome modeEntryJob(const std::function<void(ScriptedPort&)>& board, uint8_t baudRate = 0,
                        uint64_t zeroByteResult = 0) {
    auto port = std::make_unique<ScriptedPort>();
    port->expectOpen(PORT);
    lineChoreography(*port, false, zeroByteResult);
    board(*port);
    jobEnd(*port);
    return runJob(std::move(port), "/nonexistent/sketch.bin", baudRate);
}

void linkUpToReset(ScriptedPort& port) { port.expectSend(baudRateSet(0)).answer(status(ACK)); }

void linkUpToSignature(ScriptedPort& port) {
    linkUpToReset(port);
    port.expectSend(reset()).answer(status(ACK));
}

}  // namespace

TEST(NSSequenceProcessorModeEntry, FailuresOnTheLine) {
    struct Row {
        const char* what;
        std::function<void(ScriptedPort&)> board;
        uint64_t result;
        uint8_t command;
        uint64_t retry;
        uint8_t baudRate = 0;
        uint64_t zeroByteResult = 0;
    };
    const Row rows[] = {
        {"the 0x00 byte cannot be written",
         [](ScriptedPort&) {}, ERR_SEND, 0x00, 0, 0, ERR_SEND},
        {"Baud Rate Set cannot be written: no second attempt",
         [](ScriptedPort& p) { p.expectSend(baudRateSet(0), ERR_SEND); }, ERR_SEND, 0x9A, 0},
        {"Baud Rate Set answered with six bytes",
         [](ScriptedPort& p) { p.expectSend(baudRateSet(0)).answer(status(ACK, ACK)); }, ERR_RECV_TIMEOUT, 0x9A, 0},
        {"Baud Rate Set answer with a wrong sum",
         [](ScriptedPort& p) { p.expectSend(baudRateSet(0)).answer(badSum(status(ACK))); }, ERR_SUM, 0x9A, 0},
        {"long Baud Rate Set answer with a wrong end byte",
         [](ScriptedPort& p) {
             Bytes answer = dataFrame({ACK, 0x01, 0x02});
             answer.back() = 0x17;
             p.expectSend(baudRateSet(0)).answer(answer);
         },
         ERR_FRAME_FORMAT, 0x9A, 0},
        {"long Baud Rate Set answer refusing: one attempt only",
         [](ScriptedPort& p) { p.expectSend(baudRateSet(0)).answer(dataFrame({0x15, 0x01, 0x02})); },
         ERR_COMMAND_FRAME, 0x9A, 0},
        {"the host cannot change its speed: Reset is not sent",
         [](ScriptedPort& p) {
             p.expectSend(baudRateSet(1)).answer(status(ACK));
             p.expectSpeed(250000, ERR_BAUD_RATE);
         },
         ERR_BAUD_RATE, 0x9A, 0, 1},
        {"Reset refused",
         [](ScriptedPort& p) {
             linkUpToReset(p);
             p.expectSend(reset()).answer(status(0x05));
         },
         ERR_COMMAND_FRAME, 0x00, 0},
        {"Reset answered with six bytes",
         [](ScriptedPort& p) {
             linkUpToReset(p);
             p.expectSend(reset()).answer(status(ACK, ACK));
         },
         ERR_RECV_TIMEOUT, 0x00, 0},
        {"Reset answer with a wrong sum",
         [](ScriptedPort& p) {
             linkUpToReset(p);
             p.expectSend(reset()).answer(badSum(status(ACK)));
         },
         ERR_SUM, 0x00, 0},
        {"Reset frame cannot be written: not retried",
         [](ScriptedPort& p) {
             linkUpToReset(p);
             p.expectSend(reset(), ERR_SEND);
         },
         ERR_SEND, 0x00, 0},
        {"Reset silent twice, then refused on the third attempt",
         [](ScriptedPort& p) {
             linkUpToReset(p);
             p.expectSend(reset()).expectSend(reset()).expectSend(reset()).answer(status(0x15));
         },
         ERR_COMMAND_FRAME, 0x00, 2},
        {"Reset never answered: five frames",
         [](ScriptedPort& p) {
             linkUpToReset(p);
             for (int i = 0; i < 5; ++i) {
                 p.expectSend(reset());
             }
         },
         ERR_RECV_TIMEOUT, 0x00, 4},
        {"Silicon Signature refused",
         [](ScriptedPort& p) {
             linkUpToSignature(p);
             p.expectSend(siliconSignature()).answer(status(0x05));
         },
         ERR_COMMAND_FRAME, 0xC0, 0},
        {"signature data never comes: the command is not sent again",
         [](ScriptedPort& p) {
             linkUpToSignature(p);
             p.expectSend(siliconSignature()).answer(status(ACK));
         },
         ERR_RECV_TIMEOUT, 0xC0, 0},
        {"signature data of 21 bytes",
         [](ScriptedPort& p) {
             linkUpToSignature(p);
             Bytes data = signatureData();
             data.pop_back();
             p.expectSend(siliconSignature()).answer(status(ACK)).answer(dataFrame(data));
         },
         ERR_RECV_TIMEOUT, 0xC0, 0},
        {"signature data with a wrong sum",
         [](ScriptedPort& p) {
             linkUpToSignature(p);
             p.expectSend(siliconSignature()).answer(status(ACK)).answer(badSum(dataFrame(signatureData())));
         },
         ERR_SUM, 0xC0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const JobOutcome job = modeEntryJob(row.board, row.baudRate, row.zeroByteResult);
        EXPECT_EQ(job.result, row.result);
        EXPECT_EQ(job.problems, "");
        EXPECT_EQ(job.info.Result, row.result);
        EXPECT_EQ(job.info.ComInfo.Command, row.command);
        EXPECT_EQ(job.info.ComInfo.Retry, row.retry);
        EXPECT_EQ(job.log, (std::vector<std::string>{"## Programming Mode\n", "## Write Failed"}));
        const _SILICONSIGNATURE& signature = job.context.SiliconSignature;
        EXPECT_EQ(signature.CodeEndAddress[0] | signature.DevName[0], 0) << "signature stored from a bad frame";
    }
}

TEST(NSSequenceProcessorModeEntry, ResetTimeoutsArePausedBetweenAttempts) {
    // Silent twice, refused on the third: two status timeouts and two pauses.
    const JobOutcome job = modeEntryJob([](ScriptedPort& p) {
        linkUpToReset(p);
        p.expectSend(reset()).expectSend(reset()).expectSend(reset()).answer(status(0x15));
    });
    EXPECT_EQ(job.result, ERR_COMMAND_FRAME) << job.problems;
    EXPECT_EQ(job.info.ComInfo.ST1, 0x15);
    EXPECT_GE(job.elapsed.count(), 2 * (1 + 100 + 100));
}

TEST(NSSequenceProcessorModeEntry, SpeedChangeFollowsTheAcknowledgedBaudRateSet) {
    struct Row {
        uint8_t code;
        Bytes answer;  // short or long form
        uint64_t speed;  // 0: the host keeps 115200
    };
    const Row rows[] = {
        {0, status(ACK), 0},
        {1, dataFrame({ACK, 0x11, 0x22}), 250000},
        {2, status(ACK), 500000},
        {3, dataFrame({ACK, 0x33, 0x44}), 1000000},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE("baud-rate code " + std::to_string(row.code));
        auto port = std::make_unique<ScriptedPort>();
        port->expectOpen(PORT);
        lineChoreography(*port, false);
        port->expectSend(baudRateSet(row.code)).answer(row.answer);
        if (row.speed != 0) {
            port->expectSpeed(row.speed);
        }
        port->expectSend(reset()).answer(status(ACK));
        port->expectSend(siliconSignature()).answer(status(ACK)).answer(dataFrame(signatureData()));
        jobEnd(*port);
        const JobOutcome job = runJob(std::move(port), "/nonexistent/sketch.bin", row.code);
        EXPECT_EQ(job.result, ERR_FILE_NOT_FOUND) << "the job goes on past the mode entry";
        EXPECT_EQ(job.problems, "");
        if (row.answer.size() == 7) {
            EXPECT_EQ(job.context.BaudRateStat.D01, row.answer[3]);
            EXPECT_EQ(job.context.BaudRateStat.D02, row.answer[4]);
        }
    }
}

TEST(NSSequenceProcessorModeEntry, AnAnswerToALaterBaudRateSetMissesTheWindow) {
    // Only the second frame is answered: 0x2009 without taking that answer;
    // the mode entry with inverted DTR empties the buffer and succeeds, and
    // the job ends with ClearDtr.
    const Bytes image = pattern(10);
    auto port = std::make_unique<ScriptedPort>();
    port->expectOpen(PORT);
    lineChoreography(*port, false);
    port->expectSend(baudRateSet(0)).expectSend(baudRateSet(0)).answer(status(ACK));
    modeEntry(*port, true);
    blankCheckAndErase(*port, image);
    programAll(*port, image);
    verify(*port, image);
    jobEnd(*port, true);
    const JobOutcome job = runJob(std::move(port), writeImage(image));
    EXPECT_EQ(job.result, RESULT_OK);
    EXPECT_EQ(job.problems, "");
    EXPECT_GE(job.elapsed.count(), 1 + 200 + 100) << "one silent attempt";
}

TEST(NSSequenceProcessorModeEntry, ASilentTargetIsTriedWithBothPolarities) {
    auto port = std::make_unique<ScriptedPort>();
    port->expectOpen(PORT);
    for (bool inverted : {false, true}) {
        lineChoreography(*port, inverted);
        for (int i = 0; i < 5; ++i) {
            port->expectSend(baudRateSet(0));
        }
    }
    jobEnd(*port, true);
    const JobOutcome job = runJob(std::move(port), "/nonexistent/sketch.bin");
    EXPECT_EQ(job.result, ERR_MODE_ENTRY_TIMEOUT) << "not ERR_RECV_TIMEOUT";
    EXPECT_EQ(job.problems, "");
    EXPECT_EQ(job.info.ComInfo.Command, 0x9A);
    EXPECT_EQ(job.info.ComInfo.Retry, 4u);
    EXPECT_GE(job.elapsed.count(), 2 * 5 * (1 + 200 + 100)) << "five attempts of 301 ms per polarity";
    EXPECT_EQ(job.log, (std::vector<std::string>{"## Programming Mode\n", "## Write Failed"}));
}
