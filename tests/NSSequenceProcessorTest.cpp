// The programming sequence against a port that plays the board from a script:
// the line choreography, the failures a line can produce, what is retried and
// what never is, the padded last block and the checksum comparison.
#include "NSSequenceProcessor.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <numeric>

#include "MainDispatchQueue.h"
#include "ScriptedBoard.h"
#include "VerboseLog.h"

namespace {

using Bytes = std::vector<uint8_t>;
using P = ScriptedBoard&;
constexpr char PORT[] = "/dev/scripted";
constexpr uint8_t ACK = 0x06;

// Our own frame writer, so that a mistake in the program's builder cannot hide
// in the expected bytes: head, data, the sum of all but the first byte, end.
Bytes frame(Bytes head, const Bytes& data, uint8_t end)
{
    head.insert(head.end(), data.begin(), data.end());
    head.push_back(static_cast<uint8_t>(0 - std::accumulate(head.begin() + 1, head.end(), 0u)));
    head.push_back(end);
    return head;
}
Bytes command(uint8_t code, const Bytes& data = {})
{
    return frame({0x01, static_cast<uint8_t>(data.size() + 1), code}, data, 0x03);
}
// 256 data bytes carry the length byte 0; ETB ends all but the last frame.
Bytes dataFrame(const Bytes& data, bool last = true)
{
    return frame({0x02, static_cast<uint8_t>(data.size())}, data, last ? 0x03 : 0x17);
}
Bytes status(uint8_t st1) { return dataFrame({st1}); }
// The head, then three bytes per address, low byte first, then the tail.
Bytes addresses(std::initializer_list<uint32_t> list, Bytes head = {}, Bytes tail = {})
{
    for (uint32_t a : list) {
        head.insert(head.end(), {static_cast<uint8_t>(a), static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a >> 16)});
    }
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}
Bytes baudRateSet(uint8_t code) { return command(0x9A, {code, 0x21}); }
Bytes reset() { return command(0x00); }
Bytes blankCheck(uint32_t start, uint32_t end) { return command(0x32, addresses({start, end}, {}, {0x00})); }
Bytes blankCheck(uint32_t block) { return blankCheck(block, block + 1023); }
Bytes erase(uint32_t block) { return command(0x22, addresses({block})); }
Bytes checksum(uint32_t end) { return command(0xB0, addresses({0, end})); }

// The image as the target receives it: whole blocks, the last padded with 0xFF.
Bytes padded(const Bytes& image)
{
    Bytes blocks = image;
    blocks.resize((image.size() + 1023) / 1024 * 1024, 0xFF);
    return blocks;
}
uint32_t endAddress(const Bytes& image) { return static_cast<uint32_t>(padded(image).size() - 1); }
Bytes imageFrame(const Bytes& image, size_t i)
{  // i from 0
    const Bytes blocks = padded(image);
    const auto from = blocks.begin() + static_cast<std::ptrdiff_t>(i * 256);
    return dataFrame(Bytes(from, from + 256), (i + 1) * 256 == blocks.size());
}
// CK2 and CK1: the low 16 bits of 0 minus every byte the target received.
uint16_t targetChecksum(const Bytes& image)
{
    const Bytes blocks = padded(image);
    return static_cast<uint16_t>(0 - std::accumulate(blocks.begin(), blocks.end(), 0u));
}

// DTR and break of one mode entry, in order, and the single 0x00 byte.
void lineChoreography(P p, bool inverted = false, uint64_t zeroByteResult = 0)
{
    p.expectDtr(!inverted).expectBreak(true).expectFlush().expectDtr(inverted).expectBreak(false);
    p.expectSend({0x00}, zeroByteResult);
}

// Silicon Signature answered at once; its data arrives in two parts.
void signature(P p, uint32_t codeEnd = 0xFFFF)
{
    // Device code and name, then code flash end, data flash end and version.
    const Bytes name{0x10, 0x00, 0x06, 'T', 'E', 'S', 'T', 'C', 'H', 'I', 'P', '0', '1'};
    const Bytes data = dataFrame(addresses({codeEnd, 0x0F1FFF, 0x030201}, name));
    p.expectSend(command(0xC0)).answer(status(ACK)).answer({data.begin(), data.begin() + 9});
    p.answer({data.begin() + 9, data.end()}, 5);
}

// A mode entry at 115200 baud answered at once.
void modeEntry(P p, bool inverted = false, uint32_t codeEnd = 0xFFFF)
{
    lineChoreography(p, inverted);
    p.expectSend(baudRateSet(0)).answer(status(ACK));
    p.expectSend(reset()).answer(status(ACK));
    signature(p, codeEnd);
}

// Blank checks of every block; block 0 is erased when eraseFirst.
void blankCheckAndErase(P p, const Bytes& image, bool eraseFirst = false)
{
    for (uint32_t block = 0; block < endAddress(image); block += 1024) {
        const bool dirty = eraseFirst && block == 0;
        p.expectSend(blankCheck(block)).answer(status(dirty ? 0x1B : ACK));
        if (dirty) {
            p.expectSend(erase(block)).answer(status(ACK));
        }
    }
}

// The Programming command and the first n data frames acknowledged; with
// every frame acknowledged, the final status.
void program(P p, const Bytes& image, size_t n = SIZE_MAX)
{
    p.expectSend(command(0x40, addresses({0, endAddress(image)}))).answer(status(ACK));
    const size_t frames = padded(image).size() / 256;
    for (size_t i = 0; i < std::min(n, frames); ++i) {
        p.expectSend(imageFrame(image, i)).answer(status(ACK));
    }
    if (n >= frames) {
        p.answer(status(ACK));
    }
}

// The rest of a job after the mode entry.
void fullJob(P p, const Bytes& image, bool eraseFirst = false)
{
    blankCheckAndErase(p, image, eraseFirst);
    program(p, image);
    const uint16_t sum = targetChecksum(image);
    p.expectSend(checksum(endAddress(image))).answer(status(ACK));
    p.answer(dataFrame({static_cast<uint8_t>(sum), static_cast<uint8_t>(sum >> 8)}));
}

Bytes pattern(size_t size)
{
    Bytes image(size);
    for (size_t i = 0; i < size; ++i) {
        image[i] = static_cast<uint8_t>(i * 7 + i / 256);  // no two data frames alike
    }
    return image;
}

// This process's images, removed when it ends.
const std::filesystem::path SCRATCH =
    std::filesystem::temp_directory_path() / ("quenwick-seqtest-" + std::to_string(getpid()));
const struct RemoveScratch {
    ~RemoveScratch() { std::filesystem::remove_all(SCRATCH); }
} removeScratch;

std::string writeImage(const Bytes& image, const std::string& name)
{
    std::filesystem::create_directories(SCRATCH);
    std::ofstream(SCRATCH / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    return (SCRATCH / name).string();
}

// A one-block image of 1000 bytes: four data frames, the last padded.
const Bytes IMAGE = pattern(1000);
const std::string IMAGE_PATH = writeImage(IMAGE, "1000.bin");

// A job on IMAGE up to the data frame n (from 0), which is still to be sent.
void toFrame(P p, size_t n)
{
    modeEntry(p);
    blankCheckAndErase(p, IMAGE);
    program(p, IMAGE, n);
}
// Mode entry up to the Reset frame.
void toReset(P p)
{
    lineChoreography(p);
    p.expectSend(baudRateSet(0)).answer(status(ACK));
}
// The same frame expected `times` times, each write returning `result`.
P sends(P p, const Bytes& bytes, int times, uint64_t result = 0)
{
    for (int i = 0; i < times; ++i) {
        p.expectSend(bytes, result);
    }
    return p;
}

struct Job : NSSequenceProcessorDelegate {
    uint64_t result = 0;
    _RESULTINFO info{};
    std::vector<std::string> log;  // the sequence's record, as its delegate gets it
    std::string verbose;           // what -v shows of the job's events
    std::string problems;
    uint64_t elapsedMs = 0;
    void delegateAddLog(const std::string& strLog) override { log.push_back(strLog); }
};

// Runs one job: the port opens, the script plays, and the job must end with
// DTR back in its first state and the port closed.
Job run(const std::function<void(P)>& script, const std::string& path = IMAGE_PATH, uint8_t baud = 0,
        bool inverted = false, JobKind kind = JOB_WRITE)
{
    ScriptedBoard* pBoard = nullptr;
    auto port = ScriptedBoard::port(&pBoard);
    ScriptedBoard& board = *pBoard;
    board.expectOpen(PORT);
    script(board);
    board.expectDtr(!inverted).expectClose();
    std::FILE* pVerbose = std::tmpfile();
    VerboseLog events(pVerbose, false);
    auto sequence = std::make_shared<NSSequenceProcessor>(std::move(port), &events);
    Job job;
    sequence->setDelegate(&job);
    _CONTEXTINFO context{};
    std::snprintf(context.PortName, sizeof context.PortName, "%s", PORT);
    std::snprintf(context.TargetFileInfo.FilePath, sizeof context.TargetFileInfo.FilePath, "%s", path.c_str());
    context.BaudRate = baud;
    context.pResultInfo = &job.info;
    const uint64_t started = board.now();
    job.result = sequence->start(context, kind);
    job.elapsedMs = board.now() - started;
    MainDispatchQueue::drain();
    sequence->setDelegate(nullptr);
    job.verbose.resize(static_cast<size_t>(std::ftell(pVerbose)));
    std::rewind(pVerbose);
    job.verbose.resize(std::fread(job.verbose.data(), 1, job.verbose.size(), pVerbose));
    std::fclose(pVerbose);
    job.problems = board.problems();
    return job;
}

}  // namespace

// Every way a job ends on the line, one row each: after the port opens the
// board plays `script`; the job ends with `result`, its record naming the last
// exchange and its attempt (from 0). Where minMs is given the job lasts that
// long on the port's clock, and less than one pause of 100 ms more; where
// reason is, -v shows it; where verbose is, the verbose log has that line.
TEST(NSSequenceProcessor, EveryJobEndsAsTheLineDecides)
{
    struct Row {
        const char* what;
        std::function<void(P)> script;
        uint64_t result;
        uint8_t command;
        uint64_t retry = 0;
        uint64_t minMs = 0;
        uint8_t baud = 0;
        bool inverted = false;  // the job made its second mode entry, with the other DTR polarity
        JobKind job = JOB_WRITE;
        std::string reason{};
        std::string verbose{};
    };
    // After `prefix` the host sends `frame` once, and the board answers with `answers`.
    const auto answered = [](std::function<void(P)> prefix, const Bytes& frame, const std::vector<Bytes>& answers) {
        return [=](P p) {
            prefix(p);
            p.expectSend(frame);
            for (const Bytes& answer : answers) {
                p.answer(answer);
            }
        };
    };
    const auto toBrs = [](P p) { lineChoreography(p); };
    const auto toBlankCheck = [](P p) { modeEntry(p); };
    const auto to = [](size_t n) { return [n](P p) { toFrame(p, n); }; };
    const Bytes brs = baudRateSet(0), cks = checksum(0x3FF), ok = status(ACK);
    const uint16_t ck = targetChecksum(IMAGE);
    const uint8_t ck1 = uint8_t(ck), ck2 = uint8_t(ck >> 8);
    const Row rows[] = {
        {"baud-rate code 4, before any line change", [](P) {}, ERR_PARAMETER, 0x00, 0, 0, 4},
        {"0x00 byte not written", [](P p) { lineChoreography(p, false, ERR_SEND); }, ERR_SEND, 0x00},
        {"Baud Rate Set not written: no second attempt",
         [&](P p) {
             lineChoreography(p);
             p.expectSend(brs, ERR_SEND);
         },
         ERR_SEND, 0x9A},
        {"Baud Rate Set answered with 6 bytes", answered(toBrs, brs, {dataFrame({ACK, ACK})}), ERR_RECV_TIMEOUT, 0x9A},
        // A refused Baud Rate Set is not sent again.
        {"Baud Rate Set refused in 7 bytes", answered(toBrs, brs, {dataFrame({0x15, 1, 2})}), ERR_COMMAND_FRAME, 0x9A},
        {"7-byte Baud Rate Set answer ending in ETB", answered(toBrs, brs, {dataFrame({ACK, 1, 2}, false)}),
         ERR_FRAME_FORMAT, 0x9A},
        {"speed change fails: no Reset",
         [&](P p) {
             lineChoreography(p);
             p.expectSend(baudRateSet(1)).answer(ok).expectSpeed(250000, ERR_BAUD_RATE);
         },
         ERR_BAUD_RATE, 0x9A, 0, 0, 1},
        // Only the first Baud Rate Set frame leaves inside the 100 ms window; an
        // answer to a later one comes too late, and so does none at all.
        {"late answer: the second mode entry succeeds",
         [&](P p) {
             lineChoreography(p);
             sends(p, brs, 2).answer(ok);
             modeEntry(p, true);
             fullJob(p, IMAGE);
         },
         RESULT_OK, 0xB0, 0, 0, 0, true},
        {"silent, then late after the second mode entry: no third",
         [&](P p) {
             lineChoreography(p);
             sends(p, brs, 5);
             lineChoreography(p, true);
             sends(p, brs, 2).answer(ok);
         },
         ERR_MODE_ENTRY_TIMEOUT, 0x9A, 1, 6 * (1 + 200 + 100), 0, true},
        {.what = "Reset silent four times, then noise before its answer: dropped, and the job goes on",
         .script =
             [&](P p) {
                 toReset(p);
                 sends(p, reset(), 5).answer({0xFF, 0x00}).answer(ok);
                 signature(p);
                 fullJob(p, IMAGE);
             },
         .result = RESULT_OK,
         .command = 0xB0,
         .minMs = 4 * (1 + 101 + 101),
         .verbose = "2 bytes of noise dropped before the answer to Reset"},
        // Noise does not move the deadline; it is dropped before a late answer too.
        {.what = "noise while Reset waits, then its answer in the pause after the first frame",
         .script =
             [&](P p) {
                 toReset(p);
                 p.expectSend(reset()).answer({0x55}, 50).answer({0xAA}, 100 + 2).answer(ok, 100 + 2);
                 signature(p);
                 fullJob(p, IMAGE);
             },
         .result = RESULT_OK,
         .command = 0xB0,
         .minMs = 1 + 101 + 101,
         .verbose = "2 bytes of noise dropped before the answer to Reset"},
        // An answer belongs to the frame it answers: one that no frame is owed
        // ends the job, found with an answer, or before the next frame goes out.
        {.what = "a spare status before the last data frame's answers",
         .script = answered(to(3), imageFrame(IMAGE, 3), {ok, ok, ok}),
         .result = ERR_FRAME_FORMAT,
         .command = 0x40,
         .reason = "error 0x2001: the target sent an answer that no frame asked for (Programming, attempt 1)"},
        // Taking the spare for frame 0, and each answer after it for the frame
        // after its own, would hide the lost third frame (this board's checksum
        // is the image's, as when the lost bytes sum like the shifted ones).
        {.what = "a spare status a moment before the first data frame's answer, and the third frame lost later",
         .script =
             [&](P p) {
                 toFrame(p, 0);
                 p.expectSend(imageFrame(IMAGE, 0)).answer(ok).answer(ok, 1).hostMayStop();
                 p.expectSend(imageFrame(IMAGE, 1)).answer(ok).expectSend(imageFrame(IMAGE, 2));
                 p.expectSend(imageFrame(IMAGE, 3)).answer(ok).answer(ok);
                 p.expectSend(cks).answer(ok).answer(dataFrame({ck1, ck2}));
             },
         .result = ERR_FRAME_FORMAT,
         .command = 0x40},
        {.what = "Reset answered twice at once",
         .script = answered(toReset, reset(), {ok, ok}),
         .result = ERR_FRAME_FORMAT,
         .command = 0x00},
        {.what = "a spare status waits when the Silicon Signature frame is to go out",
         .script =
             [&](P p) {
                 toReset(p);
                 p.expectSend(reset()).answer(ok).answer(ok, 1);
             },
         .result = ERR_FRAME_FORMAT,
         .command = 0xC0,
         .reason = "error 0x2001: the target sent an answer that no frame asked for (Silicon Signature, attempt 1)"},
        // Found just before the frame would go out again, it is the answer then owed.
        {.what = "the completion status comes after the pause, before the last frame goes out again",
         .script =
             [&](P p) {
                 toFrame(p, 3);
                 p.expectSend(imageFrame(IMAGE, 3)).answer(ok).answer(ok, 102 + 1 + 101 + 2);
                 p.expectSend(cks).answer(ok).answer(dataFrame({ck1, ck2}));
             },
         .result = RESULT_OK,
         .command = 0xB0},
        // After the erase job's loop one blank check over the whole code flash
        // proves the erases the target acknowledged.
        {.what = "erase job: an erase acknowledged and not done",
         .script =
             [&](P p) {
                 modeEntry(p, false, 0x7FF);
                 p.expectSend(blankCheck(0)).answer(status(0x1B)).expectSend(erase(0)).answer(ok);
                 p.expectSend(blankCheck(0x400)).answer(ok).expectSend(blankCheck(0, 0x7FF)).answer(status(0x1B));
             },
         .result = ERR_NOT_BLANK,
         .command = 0x32,
         .job = JOB_ERASE,
         .reason = "error 0x200A: a block is still not blank after its erase (Block Blank Check, attempt 1)"},
        // The last attempt of a command is followed by its pause too, and an
        // answer that comes during it counts; the last attempt of a data frame
        // is not: the job ends as its wait runs out.
        {"Reset answered in the pause after its fifth frame",
         [&](P p) {
             toReset(p);
             sends(p, reset(), 5).answer(ok, 100 + 1 + 100);
             signature(p);
             fullJob(p, IMAGE);
         },
         RESULT_OK, 0xB0},
        {"data frame answered 50 ms after its fifth wait ran out",
         [&](P p) {
             toFrame(p, 0);
             sends(p, imageFrame(IMAGE, 0), 5).answer(ok, 176 + 1 + 50);
         },
         ERR_RECV_TIMEOUT, 0x40, 4},
        // A device that hangs up ends the exchange at once: no pause, no look
        // for an answer after it, no second frame.
        {"device hangs up while a data frame waits",
         [&](P p) {
             toFrame(p, 1);
             p.expectSend(imageFrame(IMAGE, 1)).hangUp(10).answer(ok, 60);
         },
         ERR_RECV_TIMEOUT, 0x40},
        // A write that fails on a device that has gone away ends the job as a wait would.
        {"device gone before a data frame is written",
         [&](P p) {
             toFrame(p, 1);
             p.hangUp();
             p.expectSend(imageFrame(IMAGE, 1), ERR_SEND);
         },
         ERR_RECV_TIMEOUT, 0x40},
        // No flash command follows.
        {"image larger than the code flash", [](P p) { modeEntry(p, false, 998); }, ERR_CODE_FLASH_SIZE, 0xC0},
        {"blank check answered 0x04", answered(toBlankCheck, blankCheck(0), {status(0x04)}), ERR_COMMAND_FRAME, 0x32},
        {"blank check answered with 6 bytes", answered(toBlankCheck, blankCheck(0), {dataFrame({0x1B, 0x1B})}),
         ERR_RECV_TIMEOUT, 0x32},
        // A refused data frame, or one answered wrongly, is never sent again.
        {"data frame refused", answered(to(1), imageFrame(IMAGE, 1), {status(0x15)}), ERR_DATA_FRAME, 0x40},
        {"data frame half acknowledged (06 15)", answered(to(0), imageFrame(IMAGE, 0), {dataFrame({ACK, 0x15})}),
         ERR_DATA_FRAME, 0x40},
        {"data frame answered with 7 bytes", answered(to(0), imageFrame(IMAGE, 0), {dataFrame({ACK, ACK, ACK})}),
         ERR_RECV_TIMEOUT, 0x40},
        {"data frame status with sum F8 (not F9)",
         answered(to(0), imageFrame(IMAGE, 0), {{0x02, 0x01, ACK, 0xF8, 0x03}}), ERR_SUM, 0x40},
        {"data frame not written: five attempts",
         [](P p) {
             toFrame(p, 2);
             sends(p, imageFrame(IMAGE, 2), 5, ERR_SEND);
         },
         ERR_SEND, 0x40, 4, 5 * 2 + 4 * 101},
        {"final status with 6 bytes", answered(to(3), imageFrame(IMAGE, 3), {ok, dataFrame({ACK, ACK})}),
         ERR_RECV_TIMEOUT, 0x40},
        {"checksum data of one byte", answered(to(SIZE_MAX), cks, {ok, dataFrame({0xD7})}), ERR_RECV_TIMEOUT, 0xB0},
        {"CK1 differs", answered(to(SIZE_MAX), cks, {ok, dataFrame({uint8_t(ck1 ^ 1), ck2})}), ERR_CHECKSUM_MISMATCH,
         0xB0},
        {"CK2 differs", answered(to(SIZE_MAX), cks, {ok, dataFrame({ck1, uint8_t(ck2 ^ 1)})}), ERR_CHECKSUM_MISMATCH,
         0xB0},
        // Frame 1 not written once, frame 2 not answered once (06 06 acknowledges
        // too); no final status in time, so the last frame goes out again, and its
        // final status is refused.
        {"data frames that fail to leave or get no answer go out again",
         [&](P p) {
             toFrame(p, 0);
             p.expectSend(imageFrame(IMAGE, 0), ERR_SEND).expectSend(imageFrame(IMAGE, 0));
             p.answer(dataFrame({ACK, ACK}));
             sends(p, imageFrame(IMAGE, 1), 2).answer(ok).expectSend(imageFrame(IMAGE, 2)).answer(ok);
             sends(p, imageFrame(IMAGE, 3), 2).answer(ok).answer(status(0x05));
         },
         ERR_DATA_FRAME, 0x40, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const Job job = run(row.script, IMAGE_PATH, row.baud, row.inverted, row.job);
        EXPECT_EQ(job.problems, "");
        EXPECT_EQ(job.result, row.result);
        EXPECT_EQ(job.info.Result, row.result);
        EXPECT_EQ(job.info.ComInfo.Command, row.command);
        EXPECT_EQ(job.info.ComInfo.Retry, row.retry);
        EXPECT_EQ(job.log.back(), row.result == RESULT_OK ? "## Write Complete" : "## Write Failed");
        // A step logs its own result; the job's is 0x2005 once the device has gone away.
        if (job.log.size() > 1 && (row.command == 0x32 || row.command == 0x22 || row.command == 0x40) &&
            !job.info.DeviceGone) {
            EXPECT_EQ(job.log.end()[-2], ResultCodes::of(row.result).text) << "the step logs its result";
        }
        EXPECT_GE(job.elapsedMs, row.minMs);
        EXPECT_TRUE(row.minMs == 0 || job.elapsedMs < row.minMs + 100) << job.elapsedMs << " ms: a pause too many";
        EXPECT_NE(job.verbose.find(row.reason + "\n"), std::string::npos) << job.verbose;
        EXPECT_NE(job.verbose.find(row.verbose + "\n"), std::string::npos) << job.verbose;
    }
}

TEST(NSSequenceProcessor, EveryExchangeWaitsExactlyItsOwnTimeout)
{
    // A 105-block job at 32 MHz, as large as the code flash, block 0 erased.
    // Each row delays one answer (numbered in script order) to the last moment
    // the host still takes it, `timeout` + 1 ms after its frame left (the wait
    // runs while no more than `timeout` ms have passed), and then 1 ms later.
    // Late, an exchange with attempts takes the answer after its 100 ms pause
    // without sending again (the clock shows the pause); an exchange of one
    // wait fails. An answer that reached the device while the host was stalled
    // is taken when the wait runs out. The usual job waits 5 ms for the second
    // part of the signature data.
    constexpr uint32_t BLOCKS = 105;
    const Bytes image = pattern(BLOCKS * 1024);
    const std::string path = writeImage(image, "105.bin");
    const auto script = [&](P p) {
        modeEntry(p, false, BLOCKS * 1024 - 1);
        fullJob(p, image, true);
    };
    const auto job = [&](size_t answer, uint64_t delayMs, bool fDuringStall = false) {
        return run(
            [&](P p) {
                script(p);
                p.retime(answer, delayMs, fDuringStall);
            },
            path);
    };
    const struct {
        const char* what;
        size_t answer;
        uint64_t timeout;
        bool attempts;
        uint64_t usualDelay = 0;
    } rows[] = {
        {"Baud Rate Set", 0, 200, true},
        {"Reset", 1, 100, true},
        {"Silicon Signature status", 2, 100, true, 5},
        {"Silicon Signature data", 4, 100, false, 5},
        {"blank check", 5, 100, false},
        {"Block Erase", 6, 258, true},
        {"Programming", BLOCKS + 6, 100, true},
        {"a data frame's status", BLOCKS + 7, 176, true},
        {"the completion status", 5 * BLOCKS + 7, 218, true},
        {"Checksum status", 5 * BLOCKS + 8, 100, true},
        {"Checksum data, for 105 blocks", 5 * BLOCKS + 9, 101, false},
    };
    const Job usual = job(SIZE_MAX, 0);
    ASSERT_EQ(usual.result, RESULT_OK) << usual.problems;
    EXPECT_EQ(usual.log, (std::vector<std::string>{"## Programming Mode\n", "## Block Blank Check & Erace...", " OK\n",
                                                   "## Programming...", " OK\n", "## Write Complete"}));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const Job inTime = job(row.answer, row.timeout + 1);
        EXPECT_EQ(inTime.problems, "");
        EXPECT_EQ(inTime.result, RESULT_OK);
        EXPECT_EQ(inTime.elapsedMs - usual.elapsedMs, row.timeout + 1 - row.usualDelay) << "a pause where none belongs";
        const Job late = job(row.answer, row.timeout + 2);
        if (row.attempts) {
            EXPECT_EQ(late.problems, "") << "the frame went out again";
            EXPECT_EQ(late.result, RESULT_OK);
            EXPECT_EQ(late.elapsedMs - usual.elapsedMs, row.timeout + 1 + 101 - row.usualDelay);
        } else {
            EXPECT_EQ(late.result, ERR_RECV_TIMEOUT);
        }
        const Job stalled = job(row.answer, 10, true);
        EXPECT_EQ(stalled.problems, "") << "the answer the device held was not taken";
        EXPECT_EQ(stalled.result, RESULT_OK);
    }
}
