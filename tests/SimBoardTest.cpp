// The board as a host sees it: the runner plays it on a real pseudo-terminal
// in this process, and a test host sends frames built by hand.
#include "SimBoard.h"
#include "SimPseudoTerminal.h"
#include "SimRunner.h"
#include "SimTestHost.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

// What the host sends and the board's whole answer; an empty answer means the
// board must stay silent.
struct Step {
    Bytes send;
    Bytes answer;
    std::string what = "";
};

const Step ENTER{ENTRY + BAUD_115200, ACK, "mode entry"};

Bytes blankCheck(uint32_t start, uint32_t end) { return command(0x32, address(start) + address(end) + Bytes{0x00}); }

// Programming of size bytes of value from start, in 256-byte frames.
std::vector<Step> programming(uint32_t start, uint32_t size, uint8_t value)
{
    std::vector<Step> steps{{rangeCommand(0x40, start, start + size - 1), ACK, "Programming"}};
    for (uint32_t end = 256; end <= size; end += 256) {
        steps.push_back({dataFrame(Bytes(256, value), end == size), end == size ? ACK + ACK : ACK, "data frame"});
    }
    return steps;
}

// A board served on its own pseudo-terminal by a runner thread, and a host on it.
class RunningBoard {
public:
    explicit RunningBoard(const std::vector<std::string>& arguments)
        : m_board(parsed(arguments)), m_runner(m_board, m_terminal, m_options.lineRate, nullptr),
          m_thread([this] { m_runner.run(m_stop); }), host(m_terminal.devicePath())
    {
    }
    ~RunningBoard()
    {
        m_stop = true;
        m_thread.join();
    }

    // Plays the steps; context names them in failure messages.
    void play(const std::vector<Step>& steps, const std::string& context = "")
    {
        for (std::size_t i = 0; i < steps.size(); ++i) {
            const Step& step = steps[i];
            const std::string where = context + " step " + std::to_string(i + 1) + " (" + step.what + ")";
            if (step.answer.empty()) {
                EXPECT_TRUE(host.ignored(step.send)) << where << ": answered";
            } else {
                EXPECT_EQ(host.exchange(step.send, step.answer.size()), step.answer) << where;
            }
        }
    }

private:
    const SimOptions& parsed(const std::vector<std::string>& arguments)
    {
        EXPECT_EQ(m_options.parse(arguments), "");
        return m_options;
    }

    SimOptions m_options;
    SimBoard m_board;
    SimPseudoTerminal m_terminal;
    SimRunner m_runner;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;

public:
    SimTestHost host;
};

TEST(SimBoardTest, AnswersEachCommandWithTheExactBytesAndIgnoresBrokenFrames)
{
    RunningBoard board({"--device-name", "TESTBOARD", "--code-flash-end", "0x00FFFF", "--data-flash-end", "0x0F1FFF"});
    const Bytes signature = hostFrame(0x02,
                                      {0x51, 0x57, 0x01, 'T', 'E', 'S', 'T', 'B', 'O', 'A', 'R', 'D', ' ', 0xFF, 0xFF,
                                       0x00, 0xFF, 0x1F, 0x0F, 0x01, 0x00, 0x00},
                                      0x03);
    board.play({
        {RESET, {}, "Reset before any mode entry"},
        {ENTRY + RESET, {}, "Reset before Baud Rate Set"},
        {BAUD_115200, ACK, "Baud Rate Set"},
        {RESET, ACK, "Reset"},
        {SIGNATURE, ACK + signature, "Silicon Signature"},
        {{0x01, 0x08, 0x32, 0x00, 0x00, 0x00, 0xFF, 0x03, 0x00, 0x00, 0xC4, 0x03}, ACK, "blank check, erased"},
        {{0x01, 0x04, 0x22, 0x00, 0x04, 0x00, 0xD6, 0x03}, ACK, "erase of block 0x400"},
        {{0x01, 0x07, 0xB0, 0x00, 0x00, 0x00, 0xFF, 0x03, 0x00, 0x47, 0x03},
         ACK + Bytes{0x02, 0x02, 0x00, 0x04, 0xFA, 0x03},
         "checksum of 1024 erased bytes"},
        {{0x01, 0x07, 0x40, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x00, 0xBA, 0x03}, ACK, "Programming of 256 bytes"},
        {dataFrame(Bytes(256, 0x5A), true), ACK + ACK, "the last data frame and the completion status"},
        {{0x01, 0x01, 0x55, 0xAA, 0x03}, status(0x04), "unknown command"},
        {command(0x22, address(0x401)), status(0x05), "erase not at a block start"},
        {command(0x22, address(0x10000)), status(0x05), "erase beyond the code flash"},
        {blankCheck(0xFC00, 0x103FF), status(0x05), "blank check beyond the flash"},
        {rangeCommand(0xB0, 0x400, 0x3FF), status(0x05), "checksum of an empty range"},
        {hostFrame(0x01, {0x00, 0x01}, 0x03), status(0x05), "Reset with a data byte"},
        {command(0x9A, {0x04, 0x21}), status(0x05), "baud-rate code 4"},
        {rangeCommand(0x40, 0, 0xFF), ACK, "Programming of 256 bytes"},
        {dataFrame(Bytes(256, 0), false), ACK, "data frame"},
        {dataFrame(Bytes(256, 0), true), status(0x05), "data beyond the range"},
        {{0x01, 0x01, 0x00, 0xFE, 0x03}, {}, "wrong sum"},
        {{0x01, 0x01, 0x00, 0xFF, 0x17}, {}, "command frame ending in ETB"},
        {Bytes{0xFF, 0x55} + RESET, ACK, "stray bytes before a frame"},
        {{0x01, 0x07, 0x40}, {}, "a frame that does not end"},
        {RESET, ACK, "a frame broken off must not swallow the next one"},
        {dataFrame(Bytes(256, 0), true), {}, "data frame outside a programming transfer"},
    });
}

TEST(SimBoardTest, FlashKeepsOnlyWhatErasingAndProgrammingCanDo)
{
    RunningBoard board({});
    board.play({ENTER});
    board.play(programming(0x400, 1024, 0xF0));
    board.play(programming(0x400, 1024, 0x3C));
    board.play({
        {rangeCommand(0xB0, 0x400, 0x402), checksumAnswer(0xFF70), "programming over 0xF0 with 0x3C must leave 0x30"},
        {rangeCommand(0xB0, 0x3FF, 0x800), checksumAnswer(0x3E02), "0xFF, 1024 bytes of 0x30, 0xFF"},
        {blankCheck(0x400, 0x7FF), status(0x1B), "programmed block reported blank"},
        {command(0x22, address(0x400)), ACK, "erase"},
        {blankCheck(0x400, 0x7FF), ACK, "erased block not blank"},
    });
}

TEST(SimBoardTest, UnderstandsOnlyAHostAtItsSpeedWith8N2)
{
    RunningBoard board({});
    SimTestHost& host = board.host;
    // (a Linux pseudo-terminal keeps neither parity nor a character size other than 8)
    host.setLine(9600, CS8 | CSTOPB);
    EXPECT_TRUE(host.ignored(ENTER.send)) << "understood a host at 9600 baud";
    host.setLine(115200, CS8);
    EXPECT_TRUE(host.ignored(ENTER.send)) << "understood a host with one stop bit";

    host.setLine(115200, CS8 | CSTOPB);
    EXPECT_EQ(host.exchange(ENTRY + command(0x9A, {0x01, 0x21}), 5), ACK) << "Baud Rate Set answered at the old speed";
    EXPECT_TRUE(host.ignored(RESET)) << "understood 115200 after agreeing on 250000";
    host.setLine(250000, CS8 | CSTOPB);
    EXPECT_EQ(host.exchange(RESET, 5), ACK) << "host at the agreed 250000";

    host.setLine(115200, CS8 | CSTOPB);
    EXPECT_EQ(host.exchange(ENTRY + command(0x9A, {0x03, 0x21}), 5), ACK) << "a new 0x00 at 115200 restarts";
    host.setLine(1000000, CS8 | CSTOPB);
    EXPECT_EQ(host.exchange(RESET, 5), ACK) << "host at the agreed 1000000";
}

TEST(SimBoardTest, EachFaultStrikesAsOftenAsAsked)
{
    const Bytes sum = rangeCommand(0xB0, 0, 0xFF);
    const Bytes blank = blankCheck(0, 0x3FF);
    const Bytes erase = command(0x22, address(0));
    const Step program{rangeCommand(0x40, 0, 0x1FF), ACK, "Programming"};
    const Bytes frame = dataFrame(Bytes(256, 0), false);
    const Bytes last = dataFrame(Bytes(256, 0), true);
    const struct {
        std::string fault;
        std::vector<Step> steps;
    } cases[] = {
        {"long-baud:1", {{ENTER.send, {0x02, 0x03, 0x06, 0x00, 0x21, 0xD6, 0x03}}, {ENTER.send, ACK, "spent"}}},
        {"silent:reset:2", {ENTER, {RESET, {}, "lost"}, {RESET, {}, "lost"}, {RESET, ACK, "spent"}}},
        {"status:erase:1B", {ENTER, {erase, status(0x1B)}, {erase, status(0x1B), "strikes every time"}}},
        {"stray:blank:FF00:1", {ENTER, {blank, Bytes{0xFF, 0x00} + ACK, "stray bytes first"}, {blank, ACK, "spent"}}},
        {"bad-sum:checksum:1",
         {ENTER, {sum, ACK + Bytes{0x02, 0x02, 0x00, 0x01, 0xFE, 0x03}}, {sum, checksumAnswer(0x100), "spent"}}},
        {"status:signature:05:1", {ENTER, {SIGNATURE, status(0x05), "and no data frame after it"}}},
        {"drop-data:2:1", {ENTER, program, {frame, ACK}, {last, {}, "lost"}, {last, ACK + ACK, "sent again"}}},
        {"double-status:1",
         {ENTER, program, {frame, {0x02, 0x02, 0x06, 0x06, 0xF2, 0x03}, "06 06"}, {last, ACK + ACK, "spent"}}},
        {"lose-completion:1",
         {ENTER, program, {frame, ACK}, {last, ACK, "completion lost"}, {last, ACK + ACK, "last frame again"}}},
        {"flip:0x10:1", {ENTER, program, {frame, ACK}, {last, ACK + ACK}, {sum, checksumAnswer(0xFFFF), "flipped"}}},
        {"from-entry:2", {{ENTER.send, {}, "first entry"}, ENTER, {ENTER.send, {}, "counts afresh"}, ENTER}},
        {"status:data:0x11:1",
         {ENTER, program, {frame, status(0x11)}, {frame, {}, "transfer ended"}, program, {frame, ACK, "spent"}}},
    };
    for (const auto& [fault, steps] : cases) {
        RunningBoard board({"--fault", fault});
        board.play(steps, fault);
        EXPECT_TRUE(board.host.ignored({})) << fault << ": sent more than its answers";
    }
}

TEST(SimBoardTest, TakesAsLongAsTheLineAndTheFlashNeed)
{
    RunningBoard board({"--line-rate", "--program-ms", "20"});
    board.play({ENTER});
    const auto begin = std::chrono::steady_clock::now();
    board.play(programming(0, 1024, 0));
    // Each of the 4 frames needs 260 bytes of 11 bits at 115200 (24.8 ms) and 20 ms of programming.
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 4 * 44ms) << "programming faster than the line allows";
}

}  // namespace
