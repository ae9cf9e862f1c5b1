// The simulated board driven directly: bytes from the host in, its answers
// out; and the USB serial adapter it may answer through.
#include "SimAdapter.h"
#include "SimBoard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <utility>

#include "Frames.h"

namespace {

Bytes range(uint8_t code, uint32_t start, uint32_t end, const Bytes& more = {})
{
    return command(code, addresses({start, end}) + more);
}
Bytes data(uint8_t value, bool last, std::size_t size = 256) { return dataFrame(Bytes(size, value), last); }

const Bytes ACK = status(0x06);
const Bytes RESET = command(0x00);
const Bytes ENTRY = Bytes{0x00} + command(0x9A, {0x00, 0x21});  // mode entry and Baud Rate Set 115200
const SimLineSettings LINE{115200, 8, 'N', 2};

// What the host sends (nothing: the line goes quiet) on which line, and the
// board's whole answer; no answer: silence. busyMs, where given, is the time
// the board works before its answer, in all.
struct Step {
    Bytes send;
    Bytes answer = {};
    std::string what = "";
    SimLineSettings line = LINE;
    int busyMs = -1;
};

// One board per row, with its options (a fault of the --fault menu, for most)
// and the steps it is played. Faults are given counts; one count-down serves
// them all, which the silent row shows spent after two strikes.
TEST(SimBoardTest, AnswersAsTheProtocolAndItsOptionsSay)
{
    const Step enter{.send = ENTRY, .answer = ACK, .what = "mode entry"};
    const Step program{.send = range(0x40, 0, 0x1FF), .answer = ACK, .what = "Programming"};
    const Bytes first = data(0, false);
    const Bytes last = data(0, true);
    const Bytes sum = range(0xB0, 0, 0xFF);
    const Bytes blank = range(0x32, 0x400, 0x7FF, {0x00});
    const Bytes erase = command(0x22, addresses({0x400}));
    const Bytes dataBlank = range(0x32, 0xF1000, 0xF13FF, {0x00});  // the data flash's first block
    const Bytes dataErase = command(0x22, addresses({0xF1000}));
    const Bytes dataProgram = range(0x40, 0xF1000, 0xF10FF);
    const Bytes ERR05 = status(0x05), NOT_BLANK = status(0x1B);
    // Code 51 57 01, name, code flash end 0x00FFFF, no data flash, version 01 00 00.
    const Bytes signature = ACK + frame(0x02, {0x51, 0x57, 0x01, 'T',  'E',  'S',  'T',  'B',  'O',  'A',  'R',
                                               'D',  ' ',  0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00});
    // The tables of this file are laid out by hand, a step or a row a line,
    // between clang-format off and on: clang-format would put each field of a
    // row that does not fit on one line on a line of its own.
    // clang-format off
    const struct {
        std::vector<std::string> options;
        std::vector<Step> steps;
    } rows[] = {
    {.options = {"--device-name", "TESTBOARD", "--code-flash-end", "0x00FFFF", "--data-flash-size", "0"}, .steps = {
        {.send = RESET, .what = "Reset before any mode entry"},
        {.send = Bytes{0x00} + RESET, .what = "Reset before Baud Rate Set"},
        {.send = command(0x9A, {0x00, 0x21}), .answer = ACK, .what = "Baud Rate Set"},
        {.send = command(0xC0), .answer = signature, .what = "Silicon Signature"},
        {.send = dataErase, .answer = ERR05, .what = "erase in a data flash of no bytes"},
        {.send = command(0x55), .answer = status(0x04), .what = "unknown command"},
        {.send = command(0x22, addresses({0x401})), .answer = ERR05, .what = "erase not at a block start"},
        {.send = range(0x32, 0xFC00, 0x103FF, {0x00}), .answer = ERR05, .what = "blank check beyond the flash"},
        {.send = range(0xB0, 0x400, 0x3FF), .answer = ERR05, .what = "checksum of an empty range"},
        {.send = frame(0x01, {0x00, 0x01}), .answer = ERR05, .what = "Reset with a data byte"},
        {.send = command(0x9A, {0x04, 0x21}), .answer = ERR05, .what = "baud-rate code 4"},
        {.send = range(0x40, 0, 0xFF), .answer = ACK, .what = "Programming of 256 bytes"},
        {.send = first, .answer = ACK, .what = "data frame of 256 bytes"},
        {.send = last, .answer = ERR05, .what = "data beyond the range"},
        {.send = last, .what = "data frame outside a programming transfer"},
        {.send = {0x01, 0x01, 0x00, 0xFE, 0x03}, .what = "wrong sum"},
        {.send = frame(0x01, {0x00}, 0x17), .what = "command frame ending in ETB"},
        {.send = Bytes{0xFF, 0x55} + RESET, .answer = ACK, .what = "stray bytes before a frame"},
        {.send = {0x01, 0x07, 0x40}, .what = "a frame that does not end"},
        {.send = {}, .what = "the line goes quiet"},
        {.send = RESET, .answer = ACK, .what = "a frame broken off must not swallow the next one"}}},
    {.options = {}, .steps = {
        enter,
        {.send = range(0x40, 0x400, 0x4FF), .answer = ACK, .what = "Programming"},
        {.send = data(0xF0, true), .answer = ACK + ACK, .what = "256 bytes of 0xF0"},
        {.send = range(0x40, 0x400, 0x4FF), .answer = ACK, .what = "Programming"},
        {.send = data(0x3C, true), .answer = ACK + ACK, .what = "256 bytes of 0x3C over them"},
        {.send = range(0xB0, 0x3FF, 0x500), .answer = ACK + frame(0x02, {0x02, 0xCE}),
         .what = "checksum of 0xFF, 256 x 0x30, 0xFF"},
        {.send = erase, .answer = ACK, .what = "erase"},
        {.send = blank, .answer = ACK, .what = "erased block not blank"},
        {.send = range(0x40, 0x7FF, 0x7FF), .answer = ACK, .what = "Programming"},
        {.send = data(0x00, true, 1), .answer = ACK + ACK, .what = "the block's last byte"},
        {.send = blank, .answer = NOT_BLANK, .what = "block with only its last byte programmed reported blank"},
        {.send = dataProgram, .answer = ACK, .what = "Programming in the data flash"},
        {.send = data(0x3C, true), .answer = ACK + ACK, .what = "256 bytes of 0x3C there"},
        {.send = dataBlank, .answer = NOT_BLANK, .what = "programmed data flash block reported blank"},
        {.send = dataErase, .answer = ACK, .what = "erase in the data flash"},
        {.send = dataBlank, .answer = ACK, .what = "erased data flash block not blank"},
        {.send = range(0x32, 0xF0000, 0xF03FF, {0x00}), .answer = ERR05, .what = "blank check between the flashes"},
        {.send = range(0xB0, 0xF1C00, 0xF2000), .answer = ERR05, .what = "checksum 1 byte past the data flash's 4096"},
        {.send = range(0x40, 0x3FC00, 0xF13FF), .answer = ERR05, .what = "Programming over both flashes"},
        {.send = ENTRY, .what = "host at 9600", .line = {9600, 8, 'N', 2}},
        {.send = ENTRY, .what = "host with one stop bit", .line = {115200, 8, 'N', 1}},
        {.send = Bytes{0x00} + command(0x9A, {0x01, 0x21}), .answer = ACK, .what = "Baud Rate Set 250000"},
        {.send = RESET, .what = "host at 115200 after agreeing on 250000"}}},
    {.options = {"--fault=silent:reset:2"}, .steps = {
        enter, {.send = RESET, .what = "lost"}, {.send = RESET, .what = "lost"},
        {.send = RESET, .answer = ACK, .what = "spent"}}},
    {.options = {"--fault=status:erase:1B"}, .steps = {
        enter, {.send = erase, .answer = status(0x1B)},
        {.send = erase, .answer = status(0x1B), .what = "strikes every time"}}},
    {.options = {"--fault=stray:blank:FF00:1"}, .steps = {
        enter, {.send = blank, .answer = Bytes{0xFF, 0x00} + ACK, .what = "stray bytes first"}}},
    {.options = {"--fault=bad-sum:checksum:1"}, .steps = {
        enter, {.send = sum, .answer = ACK + Bytes{0x02, 0x02, 0x00, 0x01, 0xFE, 0x03}, .what = "sum FE, not FD"}}},
    {.options = {"--fault=status:signature:05:1"}, .steps = {
        enter, {.send = command(0xC0), .answer = ERR05, .what = "and no data frame after it"}}},
    {.options = {"--fault=drop-data:2:1"}, .steps = {
        enter, program, {.send = first, .answer = ACK}, {.send = last, .what = "lost"},
        {.send = last, .answer = ACK + ACK, .what = "again"}}},
    {.options = {"--fault=lose-completion:1"}, .steps = {
        enter, program, {.send = first, .answer = ACK}, {.send = last, .answer = ACK, .what = "completion lost"},
        {.send = last, .answer = ACK + ACK, .what = "last frame again"}}},
    {.options = {"--fault=from-entry:2"}, .steps = {
        {.send = ENTRY, .what = "first entry"}, enter, {.send = ENTRY, .what = "counts afresh"}, enter}},
    {.options = {"--fault=flip:0xF1010:1"}, .steps = {
        enter, {.send = dataProgram, .answer = ACK}, {.send = data(0x3C, true), .answer = ACK + ACK},
        {.send = range(0xB0, 0xF1000, 0xF1100), .answer = ACK + frame(0x02, {0x00, 0xC3}), .what = "0x3D at 0xF1010"}}},
    {.options = {"--answer-at", "1"}, .steps = {
        enter,
        {.send = erase, .answer = ACK, .what = "code flash erase", .busyMs = 258},
        {.send = dataErase, .answer = ACK, .what = "data flash erase", .busyMs = 274},
        {.send = dataProgram, .answer = ACK},
        {.send = data(0x3C, true), .answer = ACK + ACK, .what = "data frame and completion", .busyMs = 330 + 105}}},
    {.options = {"--fault=late:erase:2:400"}, .steps = {
        enter, {.send = erase, .answer = ACK, .busyMs = 0},
        {.send = erase, .answer = ACK, .what = "the second answer 400 ms late", .busyMs = 400},
        {.send = erase, .answer = ACK, .what = "the third on time", .busyMs = 0}}},
    {.options = {"--fault=late-spare:checksum:1"}, .steps = {
        enter, {.send = sum, .answer = ACK + frame(0x02, {0x00, 0x01})},
        {.send = RESET, .answer = ACK + frame(0x02, {0x00, 0x01}) + ACK, .what = "once more before the next answer"},
        {.send = RESET, .answer = ACK, .what = "spent"}}},
    {.options = {"--fault=late-spare:data:1", "--fault=drop-data:2:1"}, .steps = {
        enter, program, {.send = first, .answer = ACK},
        {.send = last, .answer = ACK, .what = "the spare answer stands in for the lost frame's"}}},
    {.options = {"--fault=status:data:0x11:1"}, .steps = {
        enter, program, {.send = first, .answer = status(0x11)}, {.send = first, .what = "transfer ended"},
        program, {.send = first, .answer = ACK, .what = "spent"}}},
    };
    // clang-format on
    for (const auto& [options, steps] : rows) {
        const std::string row = options.empty() ? "(no options)" : options.front();
        SimOptions parsed;
        EXPECT_EQ(parsed.parse(options), "") << row;
        SimBoard board(parsed);
        for (std::size_t i = 0; i < steps.size(); ++i) {
            if (steps[i].send.empty()) {
                board.lineIdle();
            }
            Bytes answer;
            std::chrono::microseconds busy{};
            for (const SimReply& reply : board.receive(steps[i].send, steps[i].line)) {
                answer = answer + reply.bytes;
                busy += reply.busy;
            }
            EXPECT_EQ(answer, steps[i].answer) << row << ", step " << i + 1 << " (" << steps[i].what << ")";
            EXPECT_TRUE(steps[i].busyMs < 0 || busy == std::chrono::milliseconds(steps[i].busyMs))
                << row << ", step " << i + 1 << " (" << steps[i].what << "): busy " << busy.count() << " us";
        }
    }
}

using Clock = SimAdapter::Clock;
using std::chrono::microseconds;

// Answers that reach the adapter, or parts that reach the host: each a count
// of bytes and a time in microseconds from the adapter's start.
using Runs = std::vector<std::pair<std::size_t, int64_t>>;

// A USB serial adapter holds the board's answers until its timer ticks, unless
// 62 bytes are waiting; the 62 count from what the last tick left. The parts
// keep the bytes in order, each within one answer.
TEST(SimBoardTest, AdapterPassesAnswersOnAtItsTicksOrBy62)
{
    // clang-format off
    const struct {
        const char* what;
        int latencyMs;
        Runs answers, parts;
    } rows[] = {
        {.what = "no adapter", .latencyMs = 0, .answers = {{5, 100}, {26, 2500}}, .parts = {{5, 100}, {26, 2500}}},
        {.what = "a status held to the tick", .latencyMs = 16, .answers = {{5, 100}}, .parts = {{5, 16000}}},
        {.what = "two answers at one tick", .latencyMs = 16,
         .answers = {{5, 100}, {26, 200}}, .parts = {{5, 16000}, {26, 16000}}},
        {.what = "ticks from the start, not from the first byte", .latencyMs = 16,
         .answers = {{5, 15900}, {5, 16100}}, .parts = {{5, 16000}, {5, 32000}}},
        {.what = "62 go at once, the rest at the tick", .latencyMs = 16,
         .answers = {{32, 100}, {5, 100}, {26, 100}}, .parts = {{32, 100}, {5, 100}, {25, 100}, {1, 16000}}},
        {.what = "the 62nd byte sends them", .latencyMs = 1,
         .answers = {{61, 100}, {1, 900}}, .parts = {{61, 900}, {1, 900}}},
        {.what = "a tick empties the count", .latencyMs = 1,
         .answers = {{61, 100}, {2, 1100}}, .parts = {{61, 1000}, {2, 2000}}},
    };
    // clang-format on
    const Clock::time_point origin = Clock::time_point(microseconds(123457));
    const auto timed = [&](const Runs& runs) {
        std::vector<SimAdapter::Timed> each;
        uint8_t next = 0;
        for (const auto& [count, at] : runs) {
            each.push_back({origin + microseconds(at), Bytes(count)});
            std::iota(each.back().bytes.begin(), each.back().bytes.end(), std::exchange(next, uint8_t(next + count)));
        }
        return each;
    };
    for (const auto& row : rows) {
        const std::vector<SimAdapter::Timed> parts =
            SimAdapter(std::chrono::milliseconds(row.latencyMs), origin).pass(timed(row.answers));
        const std::vector<SimAdapter::Timed> expected = timed(row.parts);
        EXPECT_EQ(parts.size(), expected.size()) << row.what;
        for (std::size_t i = 0; i < std::min(parts.size(), expected.size()); ++i) {
            EXPECT_TRUE(parts[i].when == expected[i].when && parts[i].bytes == expected[i].bytes)
                << row.what << ", part " << i + 1;
        }
    }
}

}  // namespace
