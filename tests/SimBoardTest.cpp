// The simulated board driven directly: bytes from the host in, its answers
// out; and the USB serial adapter it may answer through. Frames are built here
// from the frame table, independent of the board's codec, so that one mistake
// cannot hide in both.
#include "SimAdapter.h"
#include "SimBoard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <utility>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes operator+(Bytes first, const Bytes& second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// Start, length (256 as 0), body, sum of length and body, end.
Bytes frame(uint8_t start, const Bytes& body, uint8_t end = 0x03)
{
    const auto sum = static_cast<uint8_t>(0 - std::accumulate(body.begin(), body.end(), body.size()));
    return Bytes{start, static_cast<uint8_t>(body.size())} + body + Bytes{sum, end};
}

Bytes status(uint8_t value) { return frame(0x02, {value}); }
Bytes command(uint8_t code, const Bytes& parameters = {}) { return frame(0x01, Bytes{code} + parameters); }
Bytes address(uint32_t value) { return {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16)}; }
Bytes range(uint8_t code, uint32_t start, uint32_t end, const Bytes& more = {})
{
    return command(code, address(start) + address(end) + more);
}
Bytes data(uint8_t value, bool last, std::size_t size = 256)
{
    return frame(0x02, Bytes(size, value), last ? 3 : 0x17);
}

const Bytes ACK = status(0x06);
const Bytes RESET = command(0x00);
const Bytes ENTRY = Bytes{0x00} + command(0x9A, {0x00, 0x21});  // mode entry and Baud Rate Set 115200
const SimLineSettings LINE{115200, 8, 'N', 2};

// What the host sends (nothing: the line goes quiet) on which line, and the
// board's whole answer; no answer: silence. busyMs, where given, is the time
// the board works before its answer, in all.
struct Step {
    Bytes send;
    Bytes answer;
    std::string what = "";
    SimLineSettings line = LINE;
    int busyMs = -1;
};

// One board per row, with its options (a fault of the --fault menu, for most)
// and the steps it is played; faults are given counts to show them spent.
TEST(SimBoardTest, AnswersAsTheProtocolAndItsOptionsSay)
{
    const Step enter{ENTRY, ACK, "mode entry"};
    const Step program{range(0x40, 0, 0x1FF), ACK, "Programming"};
    const Bytes first = data(0, false);
    const Bytes last = data(0, true);
    const Bytes sum = range(0xB0, 0, 0xFF);
    const Bytes blank = range(0x32, 0x400, 0x7FF, {0x00});
    const Bytes erase = command(0x22, address(0x400));
    const Bytes dataBlank = range(0x32, 0xF1000, 0xF13FF, {0x00});  // the data flash's first block
    const Bytes dataErase = command(0x22, address(0xF1000));
    const Bytes dataProgram = range(0x40, 0xF1000, 0xF10FF);
    const std::vector<std::pair<std::vector<std::string>, std::vector<Step>>> rows = {
        {{"--device-name", "TESTBOARD", "--code-flash-end", "0x00FFFF", "--data-flash-size", "0"},
         {{RESET, {}, "Reset before any mode entry"},
          {Bytes{0x00} + RESET, {}, "Reset before Baud Rate Set"},
          {command(0x9A, {0x00, 0x21}), ACK, "Baud Rate Set"},
          {command(0xC0), ACK + frame(0x02, {0x51, 0x57, 0x01, 'T',  'E',  'S',  'T',  'B',  'O',  'A',  'R',
                                             'D',  ' ',  0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00}),
           "Silicon Signature"},
          {dataErase, status(0x05), "erase in a data flash of no bytes"},
          {command(0x55), status(0x04), "unknown command"},
          {command(0x22, address(0x401)), status(0x05), "erase not at a block start"},
          {range(0x32, 0xFC00, 0x103FF, {0x00}), status(0x05), "blank check beyond the flash"},
          {range(0xB0, 0x400, 0x3FF), status(0x05), "checksum of an empty range"},
          {frame(0x01, {0x00, 0x01}), status(0x05), "Reset with a data byte"},
          {command(0x9A, {0x04, 0x21}), status(0x05), "baud-rate code 4"},
          {range(0x40, 0, 0xFF), ACK, "Programming of 256 bytes"},
          {first, ACK, "data frame of 256 bytes"},
          {last, status(0x05), "data beyond the range"},
          {last, {}, "data frame outside a programming transfer"},
          {{0x01, 0x01, 0x00, 0xFE, 0x03}, {}, "wrong sum"},
          {frame(0x01, {0x00}, 0x17), {}, "command frame ending in ETB"},
          {Bytes{0xFF, 0x55} + RESET, ACK, "stray bytes before a frame"},
          {{0x01, 0x07, 0x40}, {}, "a frame that does not end"},
          {{}, {}, "the line goes quiet"},
          {RESET, ACK, "a frame broken off must not swallow the next one"}}},
        {{},
         {enter,
          {range(0x40, 0x400, 0x4FF), ACK, "Programming"},
          {data(0xF0, true), ACK + ACK, "256 bytes of 0xF0"},
          {range(0x40, 0x400, 0x4FF), ACK, "Programming"},
          {data(0x3C, true), ACK + ACK, "256 bytes of 0x3C over them"},
          {range(0xB0, 0x3FF, 0x500), ACK + frame(0x02, {0x02, 0xCE}), "checksum of 0xFF, 256 x 0x30, 0xFF"},
          {blank, status(0x1B), "programmed block reported blank"},
          {erase, ACK, "erase"},
          {blank, ACK, "erased block not blank"},
          {range(0x40, 0x7FF, 0x7FF), ACK, "Programming"},
          {data(0x00, true, 1), ACK + ACK, "the block's last byte"},
          {blank, status(0x1B), "block with only its last byte programmed reported blank"},
          {dataProgram, ACK, "Programming in the data flash"},
          {data(0x3C, true), ACK + ACK, "256 bytes of 0x3C there"},
          {dataBlank, status(0x1B), "programmed data flash block reported blank"},
          {dataErase, ACK, "erase in the data flash"},
          {dataBlank, ACK, "erased data flash block not blank"},
          {range(0x32, 0xF0000, 0xF03FF, {0x00}), status(0x05), "blank check between the flashes"},
          {range(0xB0, 0xF1C00, 0xF2000), status(0x05), "checksum one byte past the data flash's 4096"},
          {range(0x40, 0x3FC00, 0xF13FF), status(0x05), "Programming over both flashes"},
          {ENTRY, {}, "host at 9600", {9600, 8, 'N', 2}},
          {ENTRY, {}, "host with one stop bit", {115200, 8, 'N', 1}},
          {Bytes{0x00} + command(0x9A, {0x01, 0x21}), ACK, "Baud Rate Set 250000"},
          {RESET, {}, "host at 115200 after agreeing on 250000"},
          {RESET, ACK, "host at 250000", {250000, 8, 'N', 2}}}},
        {{"--fault=silent:reset:2"}, {enter, {RESET, {}, "lost"}, {RESET, {}, "lost"}, {RESET, ACK, "spent"}}},
        {{"--fault=status:erase:1B"}, {enter, {erase, status(0x1B)}, {erase, status(0x1B), "strikes every time"}}},
        {{"--fault=stray:blank:FF00:1"}, {enter, {blank, Bytes{0xFF, 0x00} + ACK, "stray bytes first"}, {blank, ACK}}},
        {{"--fault=bad-sum:checksum:1"},
         {enter, {sum, ACK + Bytes{0x02, 0x02, 0x00, 0x01, 0xFE, 0x03}}, {sum, ACK + frame(0x02, {0, 1}), "spent"}}},
        {{"--fault=status:signature:05:1"}, {enter, {command(0xC0), status(0x05), "and no data frame after it"}}},
        {{"--fault=drop-data:2:1"}, {enter, program, {first, ACK}, {last, {}, "lost"}, {last, ACK + ACK, "again"}}},
        {{"--fault=lose-completion:1"},
         {enter, program, {first, ACK}, {last, ACK, "completion lost"}, {last, ACK + ACK, "last frame again"}}},
        {{"--fault=from-entry:2"}, {{ENTRY, {}, "first entry"}, enter, {ENTRY, {}, "counts afresh"}, enter}},
        {{"--fault=flip:0xF1010:1"},
         {enter,
          {dataProgram, ACK},
          {data(0x3C, true), ACK + ACK},
          {range(0xB0, 0xF1000, 0xF1100), ACK + frame(0x02, {0x00, 0xC3}), "0x3D at 0xF1010"}}},
        {{"--answer-at", "1"},
         {enter,
          {.send = erase, .answer = ACK, .what = "code flash erase", .busyMs = 258},
          {.send = dataErase, .answer = ACK, .what = "data flash erase", .busyMs = 274},
          {dataProgram, ACK},
          {.send = data(0x3C, true), .answer = ACK + ACK, .what = "data frame and completion", .busyMs = 330 + 105}}},
        {{"--fault=status:data:0x11:1"},
         {enter, program, {first, status(0x11)}, {first, {}, "transfer ended"}, program, {first, ACK, "spent"}}},
    };
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
    const struct {
        const char* what;
        int latencyMs;
        Runs answers, parts;
    } rows[] = {
        {"no adapter", 0, {{5, 100}, {26, 2500}}, {{5, 100}, {26, 2500}}},
        {"a status held to the tick", 16, {{5, 100}}, {{5, 16000}}},
        {"two answers at one tick", 16, {{5, 100}, {26, 200}}, {{5, 16000}, {26, 16000}}},
        {"ticks from the start, not from the first byte", 16, {{5, 15900}, {5, 16100}}, {{5, 16000}, {5, 32000}}},
        {"62 go at once, the rest at the tick",
         16,
         {{32, 100}, {5, 100}, {26, 100}},
         {{32, 100}, {5, 100}, {25, 100}, {1, 16000}}},
        {"the 62nd byte sends them", 1, {{61, 100}, {1, 900}}, {{61, 900}, {1, 900}}},
        {"a tick empties the count", 1, {{61, 100}, {2, 1100}}, {{61, 1000}, {2, 2000}}},
    };
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
