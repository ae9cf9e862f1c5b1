// The programming sequence on the program's own port against a board that
// plays from a script: the line choreography, the failures a line can
// produce, what is retried and what never is, the padded last block and the
// checksum comparison.
#include "NSSequenceProcessor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <functional>
#include <numeric>
#include <string_view>

#include "Frames.h"
#include "MainDispatchQueue.h"
#include "ScriptedBoard.h"
#include "VerboseLog.h"

namespace {

using P = ScriptedBoard&;
using Script = std::function<void(P)>;
constexpr char PORT[] = "/dev/scripted";
constexpr uint8_t ACK = 0x06, NOT_BLANK = 0x1B, REFUSED = 0x15;
// The command codes: Reset, Block Erase, Block Blank Check, Programming, Baud Rate Set, Checksum, Silicon Signature.
constexpr uint8_t RESET = 0x00, ERASE = 0x22, BLANK = 0x32, PROGRAM = 0x40, BRS = 0x9A, CHECKSUM = 0xB0,
                  SIGNATURE = 0xC0;

// The protocol's waits in ms: the pause before each frame and after an
// attempt that failed, and the answers' timeouts at 32 MHz: Baud Rate Set's;
// Reset's, Silicon Signature's, Programming's and Checksum's; a data frame's;
// the completion status of a one-block image. On the board's clock a wait
// that runs out lasts its timeout and 1 ms more, and a pause of N ms shows N + 1.
constexpr uint64_t SEND_WAIT = 1, RETRY_WAIT = 100;
constexpr uint64_t BRS_TIMEOUT = 200, STATUS_TIMEOUT = 100, DATA_FRAME_TIMEOUT = 176, COMPLETION_TIMEOUT = 102;
// After a frame went out twice, the quiet line before the proof: ten times the wait for its answers.
constexpr uint64_t QUIET_FACTOR = 10;
constexpr uint64_t timedOut(uint64_t timeout) { return timeout + 1; }
constexpr uint64_t paused(uint64_t ms) { return ms + 1; }

Bytes baudRateSet(uint8_t code) { return command(BRS, {code, 0x21}); }
Bytes reset() { return command(RESET); }
Bytes blankCheck(uint32_t start, uint32_t end) { return command(BLANK, addresses({start, end}) + Bytes{0x00}); }
Bytes blankCheck(uint32_t block) { return blankCheck(block, block + 1023); }
Bytes erase(uint32_t block) { return command(ERASE, addresses({block})); }
const Bytes OK = status(ACK);

// A run of the image from its start address, and the bytes of it that the
// target receives: whole blocks, the last padded with 0xFF. The labels of the
// board's answers to a run of the data flash begin with "data flash ".
struct Run {
    uint32_t start;
    Bytes bytes;
    Bytes padded() const
    {
        Bytes blocks = bytes;
        blocks.resize((bytes.size() + 1023) / 1024 * 1024, 0xFF);
        return blocks;
    }
    uint32_t end() const { return start + static_cast<uint32_t>(padded().size() - 1); }
    std::string label(const std::string& answer) const { return (start >= 0xF1000 ? "data flash " : "") + answer; }
};
using Runs = std::vector<Run>;
Bytes checksum(const Run& run) { return command(CHECKSUM, addresses({run.start, run.end()})); }
// Data frame i (from 0) of the run.
Bytes imageFrame(const Run& run, size_t i)
{
    const Bytes blocks = run.padded();
    const auto from = blocks.begin() + static_cast<std::ptrdiff_t>(i * 256);
    return dataFrame(Bytes(from, from + 256), (i + 1) * 256 == blocks.size());
}
// The checksum data frame of the run as the target sums it: CK1 and CK2, the
// low 16 bits of 0 minus every byte the target received; `flip` changes CK1 and CK2.
Bytes checksumData(const Run& run, uint16_t flip = 0)
{
    const Bytes blocks = run.padded();
    const auto sum = static_cast<uint16_t>((0 - std::accumulate(blocks.begin(), blocks.end(), 0u)) ^ flip);
    return dataFrame({static_cast<uint8_t>(sum), static_cast<uint8_t>(sum >> 8)});
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
    const Bytes data = dataFrame(name + addresses({codeEnd, 0x0F1FFF, 0x030201}));
    p.expectSend(command(SIGNATURE)).answer(OK, 0, "Silicon Signature status").answer({data.begin(), data.begin() + 9});
    p.answer({data.begin() + 9, data.end()}, 5, "Silicon Signature data");
}

// A mode entry at 115200 baud answered at once.
void modeEntry(P p, bool inverted = false, uint32_t codeEnd = 0xFFFF)
{
    lineChoreography(p, inverted);
    p.expectSend(baudRateSet(0)).answer(OK, 0, "Baud Rate Set");
    p.expectSend(reset()).answer(OK, 0, "Reset");
    signature(p, codeEnd);
}

// Blank checks of every block of every run; the first block of each is erased when eraseFirst.
void blankCheckAndErase(P p, const Runs& runs, bool eraseFirst = false)
{
    for (const Run& run : runs) {
        for (uint32_t block = run.start; block < run.end(); block += 1024) {
            const bool dirty = eraseFirst && block == run.start;
            p.expectSend(blankCheck(block)).answer(status(dirty ? NOT_BLANK : ACK), 0, run.label("Block Blank Check"));
            if (dirty) {
                p.expectSend(erase(block)).answer(OK, 0, run.label("Block Erase"));
            }
        }
    }
}

// The run's Programming command and its first n data frames acknowledged;
// with every frame acknowledged, the completion status.
void program(P p, const Run& run, size_t n = SIZE_MAX)
{
    p.expectSend(command(PROGRAM, addresses({run.start, run.end()}))).answer(OK, 0, run.label("Programming"));
    const size_t frames = run.padded().size() / 256;
    for (size_t i = 0; i < std::min(n, frames); ++i) {
        p.expectSend(imageFrame(run, i)).answer(OK, 0, run.label("a data frame's status"));
    }
    if (n >= frames) {
        p.answer(OK, 0, run.label("the completion status"));
    }
}

// The rest of a job after the mode entry: every block of every run checked,
// then every run programmed, then every run's checksum compared.
void fullJob(P p, const Runs& runs, bool eraseFirst = false)
{
    blankCheckAndErase(p, runs, eraseFirst);
    for (const Run& run : runs) {
        program(p, run);
    }
    for (const Run& run : runs) {
        p.expectSend(checksum(run)).answer(OK, 0, run.label("Checksum status"));
        p.answer(checksumData(run), 0, run.label("Checksum data"));
    }
}

// An image file that tests/make-images made, and its bytes.
std::string madePath(const char* name) { return std::string(QUENWICK_TEST_IMAGES) + "/" + name; }
Bytes made(const char* name)
{
    std::ifstream file(madePath(name), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), {});
}

// A one-block image of 1000 bytes: four data frames, the last padded.
const Run IMAGE{0, made("small.bin")};
const std::string IMAGE_PATH = madePath("small.bin");

// After a frame went out more than once, the job's checksum once more.
void proof(P p) { p.expectSend(checksum(IMAGE)).answer(OK).answer(checksumData(IMAGE)); }

// A job on IMAGE up to data frame n (from 0), which is still to be sent.
Script toFrame(size_t n)
{
    return [n](P p) { modeEntry(p), blankCheckAndErase(p, {IMAGE}), program(p, IMAGE, n); };
}
// After `prefix` the host sends `frame` once, and the board answers with `answers`.
Script answered(const Script& prefix, const Bytes& frame, const std::vector<Bytes>& answers)
{
    return [=](P p) {
        prefix(p);
        p.expectSend(frame);
        for (const Bytes& answer : answers) {
            p.answer(answer);
        }
    };
}
// The answers to the first Baud Rate Set, Reset, blank check, data frame n or Checksum of a job on IMAGE.
using Answers = std::vector<Bytes>;
Script atBrs(const Answers& a)
{
    return answered([](P p) { lineChoreography(p); }, baudRateSet(0), a);
}
Script atReset(const Answers& a)
{
    return answered([](P p) { lineChoreography(p), p.expectSend(baudRateSet(0)).answer(OK); }, reset(), a);
}
Script atBlank(const Answers& a)
{
    return answered([](P p) { modeEntry(p); }, blankCheck(0), a);
}
Script atFrame(size_t n, const Answers& a) { return answered(toFrame(n), imageFrame(IMAGE, n), a); }
Script atChecksum(const Answers& a) { return answered(toFrame(SIZE_MAX), checksum(IMAGE), a); }
// The same frame expected `times` times, each write returning `result`.
P sends(P p, const Bytes& bytes, int times, uint64_t result = 0)
{
    for (int i = 0; i < times; ++i) {
        p.expectSend(bytes, result);
    }
    return p;
}

struct Job : NSSequenceProcessorDelegate {
    _RESULTINFO info{};
    std::vector<std::string> log;  // the sequence's record, as its delegate gets it
    std::string verbose;           // what -v shows of the job's events
    std::string problems;
    uint64_t elapsedMs = 0;
    void delegateAddLog(const std::string& strLog) override { log.push_back(strLog); }
};

struct Setting {
    std::string_view path = IMAGE_PATH;
    uint8_t baud = 0;
    bool inverted = false;  // the job makes its second mode entry, with the other DTR polarity
    JobPlan plan = {};
    const char* stoppedBy = nullptr;  // a stop asked for before the job starts: the port must not open
};

// Runs one job: the port opens, the script plays, and the job must end with
// DTR back in its first state and the port closed.
Job run(const Script& script, const Setting& setting = {})
{
    ScriptedBoard* pBoard = nullptr;
    auto port = ScriptedBoard::port(&pBoard);
    ScriptedBoard& board = *pBoard;
    if (setting.stoppedBy == nullptr) {
        board.expectOpen(PORT);
    }
    script(board);
    if (setting.stoppedBy == nullptr) {
        board.expectDtr(!setting.inverted).expectClose();
    }
    std::FILE* pVerbose = std::tmpfile();
    VerboseLog events(pVerbose, false, VerboseLog::STEPS);
    auto sequence = std::make_shared<NSSequenceProcessor>(std::move(port), &events);
    Job job;
    sequence->setDelegate(&job);
    const JobRequest request{.plan = setting.plan,
                             .strImagePath = std::string(setting.path),
                             .strPortName = PORT,
                             .bBaudRate = setting.baud};
    if (setting.stoppedBy != nullptr) {
        sequence->stop(setting.stoppedBy);
    }
    const uint64_t started = board.now();
    job.info = sequence->start(request);
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
// board plays its script; the job `ends` with a result code, its record naming
// the command it ended `in` and its `attempt` (from 0), within its time window
// on the board's clock; what -v shows has the `reason` and `shows` lines; the
// sequence's record ends with the lines of `record`. Scripts join their steps
// with commas, so that a row stays short.
TEST(NSSequenceProcessor, EveryJobEndsAsTheLineDecides)
{
    // The job lasts at least `min` ms on the board's clock, and less than `max`.
    struct Window {
        uint64_t min = 0, max = UINT64_MAX;
    };
    // At least ms, and less than one pause more: no pause too many.
    const auto within = [](uint64_t ms) { return Window{.min = ms, .max = ms + RETRY_WAIT}; };
    struct Row {
        const char* what;
        Script board;
        uint64_t ends;
        uint8_t in;
        uint64_t attempt = 0;
        Window ms = {};
        Setting job = {};
        std::string reason = "", shows = "";
        std::vector<std::string> record = {};
    };
    const Bytes brs = baudRateSet(0), frame0 = imageFrame(IMAGE, 0), frame3 = imageFrame(IMAGE, 3);
    const uint64_t resetLate = timedOut(STATUS_TIMEOUT) + 1;  // in the pause after the wait ran out
    // Four Reset frames lost: their answer may be as late, from the first.
    const uint64_t resetLost = 4 * (SEND_WAIT + timedOut(STATUS_TIMEOUT) + paused(RETRY_WAIT));
    const std::string failed = "## Write Failed", programming = "## Programming...",
                      erasing = "## Block Blank Check & Erace...";
    const std::string noise = "2 bytes of noise dropped before the answer to Reset";
    const std::string unasked = "error 0x2001: the target sent an answer that no frame asked for ";
    const auto recordOf = [](uint64_t r) { return std::string(ResultCodes::of(r).text); };
    // Rows are laid out by hand, one case to a line or a few short ones: the
    // formatter would put every field of a row that does not fit one line on
    // a line of its own, which makes the table several times as long.
    // clang-format off
    const Row rows[] = {
        // Mode entry. A refused Baud Rate Set is not sent again.
        {.what = "baud-rate code 4", .board = [](P) {}, .ends = ERR_PARAMETER, .in = NO_COMMAND, .job = {.baud = 4}},
        {.what = "stopped before the port opens", .board = [](P) {}, .ends = ERR_RECV_TIMEOUT, .in = NO_COMMAND,
         .job = {.stoppedBy = "SIGINT"}, .reason = "error 0x2005: stopped by SIGINT"},
        {.what = "0x00 not written", .board = [](P p) { lineChoreography(p, false, ERR_SEND); }, .ends = ERR_SEND,
         .in = NO_COMMAND},
        {.what = "BRS not written", .board = [&](P p) { lineChoreography(p), p.expectSend(brs, ERR_SEND); },
         .ends = ERR_SEND, .in = BRS},
        {.what = "BRS: 6 bytes", .board = atBrs({dataFrame({ACK, ACK})}), .ends = ERR_RECV_TIMEOUT, .in = BRS},
        {.what = "BRS: refused, 7 bytes", .board = atBrs({dataFrame({REFUSED, 1, 2})}), .ends = ERR_COMMAND_FRAME,
         .in = BRS},
        {.what = "BRS: 7 bytes, ETB", .board = atBrs({dataFrame({ACK, 1, 2}, false)}), .ends = ERR_FRAME_FORMAT,
         .in = BRS},
        {.what = "speed change fails: no Reset",
         .board = [](P p) { lineChoreography(p), p.expectSend(baudRateSet(1)).answer(OK).expectSpeed(250000, 1); },
         .ends = ERR_BAUD_RATE, .in = BRS, .job = {.baud = 1}},
        // Only the first Baud Rate Set frame leaves inside the 100 ms window; an
        // answer to a later one comes too late, and so does none at all.
        {.what = "BRS late: the second mode entry succeeds",
         .board = [&](P p) { lineChoreography(p), sends(p, brs, 2).answer(OK), modeEntry(p, true);
             fullJob(p, {IMAGE}); }, .ends = RESULT_OK, .in = CHECKSUM, .job = {.inverted = true},
         .shows = "no answer: mode entry again with the other DTR polarity"},
        {.what = "BRS silent, then late after the second mode entry: no third", .board = [&](P p) {
             lineChoreography(p), sends(p, brs, 5), lineChoreography(p, true), sends(p, brs, 2).answer(OK); },
         .ends = ERR_MODE_ENTRY_TIMEOUT, .in = BRS, .attempt = 1,
         .ms = within(6 * (SEND_WAIT + BRS_TIMEOUT + RETRY_WAIT)), .job = {.inverted = true}},
        // Noise is dropped before an answer, also a late one, and does not move the deadline.
        {.what = "Reset silent four times, then noise before its answer", .board = [](P p) {
             atReset({})(p), sends(p, reset(), 4).answer({0xFF, 0x00}).answer(OK), signature(p), fullJob(p, {IMAGE});
             proof(p); }, .ends = RESULT_OK, .in = CHECKSUM,
         .ms = within(resetLost + resetLost + RETRY_WAIT + QUIET_FACTOR * resetLost), .shows = noise},
        {.what = "noise while Reset waits, its answer in the pause", .board = [=](P p) {
             atReset({})(p), p.answer({0x55}, 50).answer({0xAA}, resetLate).answer(OK, resetLate), signature(p);
             fullJob(p, {IMAGE}); },
         .ends = RESULT_OK, .in = CHECKSUM, .ms = within(SEND_WAIT + timedOut(STATUS_TIMEOUT) + paused(RETRY_WAIT)),
         .shows = noise},
        // The last attempt of a command is followed by its pause too, and an
        // answer that comes during it counts; the last attempt of a data frame
        // is not: the job ends as its wait runs out.
        {.what = "Reset answered in the pause after its fifth frame", .board = [](P p) {
             atReset({})(p), sends(p, reset(), 4).answer(OK, timedOut(STATUS_TIMEOUT) + RETRY_WAIT), signature(p);
             fullJob(p, {IMAGE}), proof(p); }, .ends = RESULT_OK, .in = CHECKSUM},
        {.what = "data frame answered 50 ms after its fifth wait",
         .board = [&](P p) { atFrame(0, {})(p), sends(p, frame0, 4).answer(OK, timedOut(DATA_FRAME_TIMEOUT) + 50); },
         .ends = ERR_RECV_TIMEOUT, .in = PROGRAM, .attempt = 4},
        // An answer belongs to the frame it answers: one that no frame is owed
        // ends the job, found with an answer, or before the next frame goes out.
        {.what = "Reset answered twice at once", .board = atReset({OK, OK}), .ends = ERR_FRAME_FORMAT, .in = RESET},
        {.what = "a spare status as Signature is to go out", .board = [](P p) { atReset({OK})(p), p.answer(OK, 1); },
         .ends = ERR_FRAME_FORMAT, .in = SIGNATURE, .reason = unasked + "(Silicon Signature, attempt 1)"},
        {.what = "a spare status before the last data frame's answers", .board = atFrame(3, {OK, OK, OK}),
         .ends = ERR_FRAME_FORMAT, .in = PROGRAM, .reason = unasked + "(Programming, attempt 1)"},
        // Taking the spare for frame 0, and each answer after it for the frame
        // after its own, would hide the lost third frame (this board's checksum
        // is the image's, as when the lost bytes sum like the shifted ones).
        {.what = "a spare status just before frame 0's, the third frame lost later", .board = [&](P p) {
             atFrame(0, {OK})(p), p.answer(OK, 1).hostMayStop().expectSend(imageFrame(IMAGE, 1)).answer(OK);
             p.expectSend(imageFrame(IMAGE, 2)).expectSend(frame3).answer(OK).answer(OK);
             p.expectSend(checksum(IMAGE)).answer(OK).answer(checksumData(IMAGE)); },
         .ends = ERR_FRAME_FORMAT, .in = PROGRAM},
        // Found just before the frame would go out again, it is the answer then owed.
        {.what = "the completion status after the pause, before the last frame again", .board = [&](P p) {
             atFrame(3, {OK})(p), p.answer(OK, timedOut(COMPLETION_TIMEOUT) + paused(RETRY_WAIT) + paused(SEND_WAIT));
             p.expectSend(checksum(IMAGE)).answer(OK).answer(checksumData(IMAGE)); },
         .ends = RESULT_OK, .in = CHECKSUM, .record = {programming, " OK\n", "## Write Complete"}},
        // A code flash that ends one byte short of a block has no room for the image's last block.
        {.what = "code flash end off a block's end", .board = [](P p) { modeEntry(p, false, 0x3FE); },
         .ends = ERR_CODE_FLASH_SIZE, .in = SIGNATURE,
         .reason = "error 0x3004: the image's blocks reach 0x3FF, the code flash ends at 0x3FE, not at the end of a "
                   "block"},
        // After the erase job's loop over each flash, one blank check over the
        // whole flash proves the erases the target acknowledged: here the code
        // flash's (2 blocks) holds, the data flash's (4 blocks) finds one undone.
        {.what = "erase job of both flashes: an erase acknowledged and not done", .board = [](P p) {
             modeEntry(p, false, 0x7FF), p.expectSend(blankCheck(0)).answer(status(NOT_BLANK));
             p.expectSend(erase(0)).answer(OK).expectSend(blankCheck(0x400)).answer(OK);
             blankCheckAndErase(p.expectSend(blankCheck(0, 0x7FF)).answer(OK), {{0xF1000, Bytes(4096)}}, true);
             p.expectSend(blankCheck(0xF1000, 0xF1FFF)).answer(status(NOT_BLANK)); },
         .ends = ERR_NOT_BLANK, .in = BLANK, .job = {.plan = {.kind = JOB_ERASE, .eraseFlashes = FLASH_ALL}},
         .reason = "error 0x200A: a block is still not blank after its erase (Block Blank Check, attempt 1)",
         .record = {erasing, recordOf(ERR_NOT_BLANK), failed}},
        // A device that hangs up ends the exchange at once: no pause, no look
        // for an answer after it, no second frame. A write that fails on it
        // ends the job as a wait would; the step's record says what it saw.
        {.what = "hang-up as a data frame waits", .board = [](P p) { atFrame(1, {})(p), p.hangUp(10).answer(OK, 60); },
         .ends = ERR_RECV_TIMEOUT, .in = PROGRAM,
         .reason = "error 0x2005: the serial device went away (Programming, attempt 1)"},
        {.what = "device gone before a data frame is written",
         .board = [](P p) { toFrame(1)(p), p.hangUp().expectSend(imageFrame(IMAGE, 1), ERR_SEND); },
         .ends = ERR_RECV_TIMEOUT, .in = PROGRAM, .record = {programming, recordOf(ERR_SEND), failed}},
        {.what = "blank check: 0x04", .board = atBlank({status(0x04)}), .ends = ERR_COMMAND_FRAME, .in = BLANK,
         .record = {erasing, recordOf(ERR_COMMAND_FRAME), failed}},
        {.what = "blank: 6 bytes", .board = atBlank({dataFrame({NOT_BLANK, NOT_BLANK})}), .ends = ERR_RECV_TIMEOUT,
         .in = BLANK},
        // A refused data frame, or one answered wrongly, is never sent again.
        {.what = "data frame refused", .board = atFrame(1, {status(REFUSED)}), .ends = ERR_DATA_FRAME, .in = PROGRAM,
         .record = {programming, recordOf(ERR_DATA_FRAME), failed}},
        {.what = "data frame: 06 15", .board = atFrame(0, {dataFrame({ACK, REFUSED})}), .ends = ERR_DATA_FRAME,
         .in = PROGRAM},
        {.what = "data frame: 7 bytes", .board = atFrame(0, {dataFrame({ACK, ACK, ACK})}), .ends = ERR_RECV_TIMEOUT,
         .in = PROGRAM, .reason = "error 0x2005: the answer to a data frame was 7 bytes long, a length it cannot have "
         "(Programming, attempt 1)"},
        {.what = "data frame: sum F8, not F9", .board = atFrame(0, {{0x02, 0x01, ACK, 0xF8, 0x03}}), .ends = ERR_SUM,
         .in = PROGRAM},
        {.what = "data frame not written: five attempts",
         .board = [](P p) { toFrame(2)(p), sends(p, imageFrame(IMAGE, 2), 5, ERR_SEND); },
         .ends = ERR_SEND, .in = PROGRAM, .attempt = 4, .ms = within(5 * paused(SEND_WAIT) + 4 * paused(RETRY_WAIT))},
        {.what = "completion: 6 bytes", .board = atFrame(3, {OK, dataFrame({ACK, ACK})}), .ends = ERR_RECV_TIMEOUT,
         .in = PROGRAM},
        // Frame 1 not written once, frame 2 not answered once (06 06 acknowledges
        // too); no completion status in time, so the last frame goes out again,
        // and its completion status is refused.
        {.what = "data frames that fail to leave or get no answer go out again", .board = [&](P p) {
             toFrame(0)(p), p.expectSend(frame0, ERR_SEND).expectSend(frame0).answer(dataFrame({ACK, ACK}));
             sends(p, imageFrame(IMAGE, 1), 2).answer(OK).expectSend(imageFrame(IMAGE, 2)).answer(OK);
             sends(p, frame3, 2).answer(OK).answer(status(0x05)); },
         .ends = ERR_DATA_FRAME, .in = PROGRAM, .attempt = 1},
        // After a frame went out again, the exchange stays open for the answer
        // still owed: the same again is dropped, any other ends the job. A job
        // that sent a frame twice proves its result again, each exchange once,
        // after ten times that exchange's wait of quiet line.
        {.what = "Checksum late, sent again, answered twice alike: proved once more", .board = [](P p) {
             toFrame(SIZE_MAX)(p), sends(p, checksum(IMAGE), 2).answer(OK, 5).answer(checksumData(IMAGE));
             p.answer(OK, 10).answer(checksumData(IMAGE)), proof(p); }, .ends = RESULT_OK, .in = CHECKSUM,
         .ms = {.min = QUIET_FACTOR * (timedOut(STATUS_TIMEOUT) + paused(RETRY_WAIT) + paused(SEND_WAIT) + 5)},
         .shows = "a frame went out more than once: after 2090 ms of quiet line, each comparison again, once"},
        {.what = "Checksum late, sent again, answered twice with two sums", .board = [](P p) {
             toFrame(SIZE_MAX)(p), sends(p, checksum(IMAGE), 2).answer(OK, 5).answer(checksumData(IMAGE, 1));
             p.answer(OK, 10).answer(checksumData(IMAGE)); }, .ends = ERR_FRAME_FORMAT, .in = CHECKSUM, .attempt = 1,
         .reason = "error 0x2001: two different answers to a frame sent again (Checksum, attempt 2)"},
        {.what = "a second answer later than the exchange waits: found before the proof", .board = [](P p) {
             toFrame(SIZE_MAX)(p), sends(p, checksum(IMAGE), 2).answer(OK, 5).answer(checksumData(IMAGE));
             p.answer(OK, 4 * STATUS_TIMEOUT).answer(checksumData(IMAGE)); },
         .ends = ERR_FRAME_FORMAT, .in = CHECKSUM, .attempt = 1},
        {.what = "a data frame late, sent again, answered twice", .board = [&](P p) {
             atFrame(1, {})(p), p.expectSend(imageFrame(IMAGE, 1)).answer(OK, 5).answer(OK, 5); },
         .ends = ERR_FRAME_FORMAT, .in = PROGRAM, .attempt = 1, .reason = "error 0x2001: a second answer to a frame "
         "sent again: the target may have taken it twice (Programming, attempt 2)"},
        {.what = "checksum data: 1 byte", .board = atChecksum({OK, dataFrame({0xD7})}), .ends = ERR_RECV_TIMEOUT,
         .in = CHECKSUM},
        {.what = "CK1 differs", .board = atChecksum({OK, checksumData(IMAGE, 0x0001)}), .ends = ERR_CHECKSUM_MISMATCH,
         .in = CHECKSUM, .record = {programming, " OK\n", failed}},
        {.what = "CK2 differs", .board = atChecksum({OK, checksumData(IMAGE, 0x0100)}), .ends = ERR_CHECKSUM_MISMATCH,
         .in = CHECKSUM},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const Job job = run(row.board, row.job);
        EXPECT_EQ(job.problems, "");
        EXPECT_EQ(job.info.Result, row.ends);
        EXPECT_EQ(job.info.ComInfo.Command, row.in);
        EXPECT_EQ(job.info.ComInfo.Retry, row.attempt);
        EXPECT_EQ(job.log.back(), row.ends == RESULT_OK ? "## Write Complete" : failed);
        ASSERT_GE(job.log.size(), row.record.size());
        EXPECT_TRUE(std::equal(row.record.rbegin(), row.record.rend(), job.log.rbegin()))
            << ::testing::PrintToString(job.log);
        EXPECT_GE(job.elapsedMs, row.ms.min);
        EXPECT_LT(job.elapsedMs, row.ms.max) << "a pause too many";
        EXPECT_NE(job.verbose.find(row.reason + "\n"), std::string::npos) << job.verbose;
        EXPECT_NE(job.verbose.find(row.shows + "\n"), std::string::npos) << job.verbose;
    }
}

TEST(NSSequenceProcessor, EveryExchangeWaitsExactlyItsOwnTimeout)
{
    // A job at 32 MHz of 105 blocks of code, as large as the code flash, and
    // 3 blocks of the data flash, the first block of each erased, from a HEX
    // file (tests/make-images): the blocks of both flashes checked, then both
    // runs programmed, then both compared. Each row delays one answer (the
    // first of its name) to the last moment the host still takes it,
    // `timeout` + 1 ms after its frame left (the wait runs while no more than
    // `timeout` ms have passed), and then 1 ms later. Late, an exchange with
    // attempts takes the answer after its pause without sending again (the
    // clock shows the pause); an exchange of one wait fails. An answer that
    // reached the device while the host was stalled is taken when the wait
    // runs out. The usual job waits 5 ms for the second part of the signature
    // data. The data flash has timeouts of its own.
    constexpr uint32_t BLOCKS = 105;
    const Runs runs = {{0, made("timing-code.bin")}, {0xF1400, made("sketch.bin")}};
    const std::string path = madePath("timing.hex");
    const auto job = [&](const char* answer, uint64_t delayMs, bool fDuringStall = false) {
        return run(
            [&](P p) {
                modeEntry(p, false, BLOCKS * 1024 - 1);
                fullJob(p, runs, true);
                p.retime(answer, delayMs, fDuringStall);
            },
            {.path = path});
    };
    struct Row {
        const char* answer;
        uint64_t timeout;
        uint64_t usualDelay = 0;
    };
    // clang-format off
    // Exchanges with attempts: late, the answer is taken after the pause, without sending again.
    const Row retried[] = {
        {.answer = "Baud Rate Set", .timeout = BRS_TIMEOUT},
        {.answer = "Reset", .timeout = STATUS_TIMEOUT},
        {.answer = "Silicon Signature status", .timeout = STATUS_TIMEOUT, .usualDelay = 5},
        {.answer = "Block Erase", .timeout = 258},
        {.answer = "data flash Block Erase", .timeout = 274},
        {.answer = "Programming", .timeout = STATUS_TIMEOUT},
        {.answer = "a data frame's status", .timeout = DATA_FRAME_TIMEOUT},
        {.answer = "data flash a data frame's status", .timeout = 330},
        {.answer = "the completion status", .timeout = 218},
        {.answer = "data flash the completion status", .timeout = 114},  // for 3 blocks
        {.answer = "Checksum status", .timeout = STATUS_TIMEOUT},
    };
    // Exchanges of one wait: late, the job fails.
    const Row once[] = {
        {.answer = "Silicon Signature data", .timeout = 100, .usualDelay = 5},
        {.answer = "Block Blank Check", .timeout = 100},
        {.answer = "Checksum data", .timeout = 101},  // for 105 blocks
    };
    // clang-format on
    const Job usual = job("no answer", 0);
    ASSERT_EQ(usual.info.Result, RESULT_OK) << usual.problems;
    EXPECT_EQ(usual.log, (std::vector<std::string>{"## Programming Mode\n", "## Block Blank Check & Erace...", " OK\n",
                                                   "## Programming...", " OK\n", "## Write Complete"}));
    const auto inTimeAndStalled = [&](const Row& row) {
        SCOPED_TRACE(row.answer);
        const Job inTime = job(row.answer, timedOut(row.timeout));
        EXPECT_EQ(inTime.problems, "");
        EXPECT_EQ(inTime.info.Result, RESULT_OK);
        EXPECT_EQ(inTime.elapsedMs - usual.elapsedMs, timedOut(row.timeout) - row.usualDelay)
            << "a pause where none belongs";
        const Job stalled = job(row.answer, 10, true);
        EXPECT_EQ(stalled.problems, "") << "the answer the device held was not taken";
        EXPECT_EQ(stalled.info.Result, RESULT_OK);
    };
    for (const Row& row : retried) {
        inTimeAndStalled(row);
        const Job late = job(row.answer, timedOut(row.timeout) + 1);
        EXPECT_EQ(late.problems, "") << row.answer << ": the frame went out again";
        EXPECT_EQ(late.info.Result, RESULT_OK) << row.answer;
        EXPECT_EQ(late.elapsedMs - usual.elapsedMs, timedOut(row.timeout) + paused(RETRY_WAIT) - row.usualDelay)
            << row.answer;
    }
    for (const Row& row : once) {
        inTimeAndStalled(row);
        EXPECT_EQ(job(row.answer, timedOut(row.timeout) + 1).info.Result, ERR_RECV_TIMEOUT) << row.answer;
    }
}
