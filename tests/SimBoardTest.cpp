// The board as a host sees it: the runner plays it on a real pseudo-terminal
// in this process, and a test host sends frames built by hand.
#include "SimBoard.h"
#include "SimPseudoTerminal.h"
#include "SimRunner.h"
#include "SimTestHost.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>
#include <sstream>
#include <thread>

namespace {

Bytes filled(std::size_t size, uint8_t value)
{
    return Bytes(size, value);
}

class SimBoardTest : public ::testing::Test {
protected:
    void start(const std::vector<std::string>& arguments = {})
    {
        SimOptions options;
        ASSERT_EQ(options.parse(arguments), "");
        m_board = std::make_unique<SimBoard>(options);
        m_terminal = std::make_unique<SimPseudoTerminal>();
        m_runner = std::make_unique<SimRunner>(*m_board, *m_terminal, options.lineRate, &m_log);
        m_thread = std::thread([this] { m_runner->run(m_stop); });
        m_host = std::make_unique<SimTestHost>(m_terminal->devicePath());
    }

    // Mode entry at 115200 with an acknowledged Baud Rate Set.
    void enter()
    {
        m_host->send(ENTRY);
        ASSERT_EQ(m_host->exchange(BAUD_115200, 5), ACK);
    }

    // Programs image (whole 256-byte frames) from start, expecting every acknowledgement.
    void program(uint32_t start, const Bytes& image)
    {
        ASSERT_EQ(m_host->exchange(rangeCommand(0x40, start, start + static_cast<uint32_t>(image.size()) - 1), 5), ACK);
        for (std::size_t offset = 0; offset < image.size(); offset += 256) {
            const bool last = offset + 256 == image.size();
            const Bytes frame = dataFrame(Bytes(image.begin() + static_cast<std::ptrdiff_t>(offset),
                                                image.begin() + static_cast<std::ptrdiff_t>(offset + 256)),
                                          last);
            ASSERT_EQ(m_host->exchange(frame, last ? 10 : 5), last ? ACK + ACK : ACK) << "data frame at " << offset;
        }
    }

    Bytes checksum(uint32_t start, uint32_t end) { return m_host->exchange(rangeCommand(0xB0, start, end), 11); }

    // Stops the board; its flash and log may be read afterwards.
    void stop()
    {
        m_stop = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
    void TearDown() override { stop(); }

    std::ostringstream m_log;
    std::atomic<bool> m_stop{false};
    std::unique_ptr<SimBoard> m_board;
    std::unique_ptr<SimPseudoTerminal> m_terminal;
    std::unique_ptr<SimRunner> m_runner;
    std::thread m_thread;
    std::unique_ptr<SimTestHost> m_host;
};

TEST_F(SimBoardTest, AnswersEachCommandWithTheExactBytes)
{
    start({"--device-name", "TESTBOARD", "--code-flash-end", "0x00FFFF", "--data-flash-end", "0x0F1FFF"});
    m_host->send(RESET);
    EXPECT_TRUE(m_host->silent()) << "answered before any mode entry";
    m_host->send(ENTRY);
    m_host->send(RESET);
    EXPECT_TRUE(m_host->silent()) << "answered Reset before Baud Rate Set";
    EXPECT_EQ(m_host->exchange(BAUD_115200, 5), ACK);
    EXPECT_EQ(m_host->exchange(RESET, 5), ACK);

    const Bytes signature = hostFrame(0x02,
                                      {0x51, 0x57, 0x01, 'T', 'E', 'S', 'T', 'B', 'O', 'A', 'R', 'D', ' ',
                                       0xFF, 0xFF, 0x00, 0xFF, 0x1F, 0x0F, 0x01, 0x00, 0x00},
                                      0x03);
    ASSERT_EQ(signature.size(), 26u);
    EXPECT_EQ(m_host->exchange(SIGNATURE, 31), ACK + signature);

    EXPECT_EQ(m_host->exchange({0x01, 0x08, 0x32, 0x00, 0x00, 0x00, 0xFF, 0x03, 0x00, 0x00, 0xC4, 0x03}, 5), ACK)
        << "blank check of an erased block";
    EXPECT_EQ(m_host->exchange({0x01, 0x04, 0x22, 0x00, 0x04, 0x00, 0xD6, 0x03}, 5), ACK) << "erase of block 0x400";
    EXPECT_EQ(m_host->exchange({0x01, 0x07, 0xB0, 0x00, 0x00, 0x00, 0xFF, 0x03, 0x00, 0x47, 0x03}, 11),
              (ACK + Bytes{0x02, 0x02, 0x00, 0x04, 0xFA, 0x03}))
        << "checksum of 1024 erased bytes";

    EXPECT_EQ(m_host->exchange({0x01, 0x07, 0x40, 0x00, 0x00, 0x00, 0xFF, 0x07, 0x00, 0xB3, 0x03}, 5), ACK);
    for (int frame = 1; frame <= 8; ++frame) {
        EXPECT_EQ(m_host->exchange(dataFrame(filled(256, 0x5A), frame == 8), frame == 8 ? 10 : 5),
                  frame == 8 ? ACK + ACK : ACK)
            << "data frame " << frame << ", the last one followed by the completion status";
    }

    EXPECT_EQ(m_host->exchange({0x01, 0x01, 0x55, 0xAA, 0x03}, 5), status(0x04)) << "unknown command";
    EXPECT_EQ(m_host->exchange(erase(0x401), 5), status(0x05)) << "erase not at a block start";
    EXPECT_EQ(m_host->exchange(erase(0x10000), 5), status(0x05)) << "erase beyond the code flash";
    EXPECT_EQ(m_host->exchange(blankCheck(0xFC00, 0x103FF), 5), status(0x05)) << "blank check beyond the flash";
    EXPECT_EQ(m_host->exchange(rangeCommand(0xB0, 0x400, 0x3FF), 5), status(0x05)) << "checksum of an empty range";
    EXPECT_EQ(m_host->exchange(hostFrame(0x01, {0x00, 0x01}, 0x03), 5), status(0x05)) << "Reset with a data byte";
    EXPECT_EQ(m_host->exchange(baudRateSet(4), 5), status(0x05)) << "baud-rate code 4";

    EXPECT_EQ(m_host->exchange(rangeCommand(0x40, 0, 0xFF), 5), ACK);
    EXPECT_EQ(m_host->exchange(dataFrame(filled(256, 0), false), 5), ACK);
    EXPECT_EQ(m_host->exchange(dataFrame(filled(256, 0), true), 5), status(0x05)) << "data beyond the range";

    stop();
    EXPECT_NE(m_log.str().find("mode entry 1"), std::string::npos) << m_log.str();
    EXPECT_NE(m_log.str().find("host> 01 01 00 FF 03  Reset"), std::string::npos) << m_log.str();
    EXPECT_NE(m_log.str().find("board> 02 01 06 F9 03"), std::string::npos) << m_log.str();
}

TEST_F(SimBoardTest, FlashKeepsOnlyWhatErasingAndProgrammingCanDo)
{
    start();
    enter();
    program(0, Bytes{'a', 'b', 'c'} + filled(1021, 0xFF));
    EXPECT_EQ(checksum(0, 0x3FF), (ACK + Bytes{0x02, 0x02, 0xD7, 0x05, 0x22, 0x03})) << "abc padded with 0xFF";
    EXPECT_EQ(m_host->exchange(blankCheck(0, 0x3FF), 5), status(0x1B)) << "programmed block reported blank";
    EXPECT_EQ(m_host->exchange(blankCheck(0x400, 0x7FF), 5), ACK);

    program(0x400, filled(1024, 0xF0));
    program(0x400, filled(1024, 0x3C));
    EXPECT_EQ(checksum(0x400, 0x402), (ACK + Bytes{0x02, 0x02, 0x70, 0xFF, 0x8F, 0x03}))
        << "programming over data must leave 0xF0 AND 0x3C = 0x30";

    EXPECT_EQ(m_host->exchange(erase(0), 5), ACK);
    EXPECT_EQ(m_host->exchange(blankCheck(0, 0x3FF), 5), ACK) << "erased block not blank";

    stop();
    const auto flash = m_board->flash().bytes();
    EXPECT_EQ(flash.size(), 0x40000u);
    EXPECT_EQ(flash[0], 0xFF);
    EXPECT_EQ(flash[0x400], 0x30);
    EXPECT_EQ(flash[0x7FF], 0x30);
    EXPECT_EQ(flash[0x800], 0xFF);
}

TEST_F(SimBoardTest, IgnoresFramesThatFailTheirChecks)
{
    start();
    enter();
    m_host->send({0x01, 0x01, 0x00, 0xFE, 0x03});
    EXPECT_TRUE(m_host->silent()) << "answered a frame with a wrong sum";
    m_host->send({0x01, 0x01, 0x00, 0xFF, 0x17});
    EXPECT_TRUE(m_host->silent()) << "answered a command frame ending in ETB";
    EXPECT_EQ(m_host->exchange(Bytes{0xFF, 0x55} + RESET, 5), ACK) << "stray bytes before a frame";

    m_host->send({0x01, 0x07, 0x40});
    EXPECT_TRUE(m_host->silent()) << "answered a frame that did not end";
    EXPECT_EQ(m_host->exchange(RESET, 5), ACK) << "a frame broken off must not swallow the next one";

    m_host->send(dataFrame(filled(256, 0), true));
    EXPECT_TRUE(m_host->silent()) << "answered a data frame outside a programming transfer";
}

TEST_F(SimBoardTest, UnderstandsOnlyAHostAtItsSpeedWith8N2)
{
    start();
    const struct {
        uint32_t speed;
        tcflag_t format;
        const char* what;
    } strangers[] = {
        {9600, CS8 | CSTOPB, "9600 baud"},
        {115200, CS8, "one stop bit"},
    };  // (a Linux pseudo-terminal keeps neither parity nor a character size other than 8)
    for (const auto& stranger : strangers) {
        m_host->setLine(stranger.speed, stranger.format);
        m_host->send(ENTRY + BAUD_115200);
        EXPECT_TRUE(m_host->silent()) << "understood a host with " << stranger.what;
    }

    m_host->setLine(115200, CS8 | CSTOPB);
    m_host->send(ENTRY);
    EXPECT_EQ(m_host->exchange(baudRateSet(1), 5), ACK) << "Baud Rate Set is answered at the old speed";
    m_host->send(RESET);
    EXPECT_TRUE(m_host->silent()) << "understood 115200 after agreeing on 250000";
    m_host->setLine(250000, CS8 | CSTOPB);
    EXPECT_EQ(m_host->exchange(RESET, 5), ACK) << "host at the agreed 250000";

    m_host->setLine(115200, CS8 | CSTOPB);
    m_host->send(ENTRY);
    EXPECT_EQ(m_host->exchange(baudRateSet(3), 5), ACK) << "a new 0x00 at 115200 must restart the session";
    m_host->setLine(1000000, CS8 | CSTOPB);
    EXPECT_EQ(m_host->exchange(RESET, 5), ACK) << "host at the agreed 1000000";
}

TEST_F(SimBoardTest, FaultsOnCommands)
{
    start({"--fault", "long-baud:1", "--fault", "silent:reset:2", "--fault", "status:erase:0x10", "--fault",
           "stray:blank:FF00:1", "--fault", "bad-sum:checksum:1", "--fault", "status:signature:5:1"});
    m_host->send(ENTRY);
    EXPECT_EQ(m_host->exchange(BAUD_115200, 7), (Bytes{0x02, 0x03, 0x06, 0x00, 0x21, 0xD6, 0x03}))
        << "long Baud Rate Set answer";
    for (int attempt = 1; attempt <= 2; ++attempt) {
        m_host->send(RESET);
        EXPECT_TRUE(m_host->silent()) << "Reset " << attempt << " should have been lost";
    }
    EXPECT_EQ(m_host->exchange(RESET, 5), ACK) << "the third Reset";
    EXPECT_EQ(m_host->exchange(RESET, 5), ACK) << "a spent fault struck again";

    EXPECT_EQ(m_host->exchange(erase(0), 5), status(0x10));
    EXPECT_EQ(m_host->exchange(erase(0), 5), status(0x10)) << "a fault without a count strikes every time";

    EXPECT_EQ(m_host->exchange(blankCheck(0, 0x3FF), 7), (Bytes{0xFF, 0x00} + ACK)) << "stray bytes first";
    EXPECT_EQ(m_host->exchange(blankCheck(0, 0x3FF), 5), ACK);

    EXPECT_EQ(checksum(0, 0x3FF), (ACK + Bytes{0x02, 0x02, 0x00, 0x04, 0xFB, 0x03})) << "wrong sum in the data frame";
    EXPECT_EQ(checksum(0, 0x3FF), (ACK + Bytes{0x02, 0x02, 0x00, 0x04, 0xFA, 0x03}));

    EXPECT_EQ(m_host->exchange(SIGNATURE, 5), status(0x05));
    EXPECT_TRUE(m_host->silent()) << "a refused Silicon Signature sent its data frame";
    EXPECT_EQ(m_host->exchange(SIGNATURE, 31).size(), 31u);

    m_host->send(ENTRY);
    EXPECT_EQ(m_host->exchange(BAUD_115200, 5), ACK) << "long-baud:1 is spent";
    EXPECT_TRUE(m_host->silent());
}

TEST_F(SimBoardTest, FaultsOnDataFrames)
{
    start({"--fault", "drop-data:2:1", "--fault", "double-status:4", "--fault", "lose-completion:1", "--fault",
           "flip:0x10:1"});
    enter();
    Bytes image(1024);
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<uint8_t>(i * 7);
    }
    const auto frame = [&image](int number) {
        const auto begin = image.begin() + (number - 1) * 256;
        return dataFrame(Bytes(begin, begin + 256), number == 4);
    };
    EXPECT_EQ(m_host->exchange(rangeCommand(0x40, 0, 0x3FF), 5), ACK);
    EXPECT_EQ(m_host->exchange(frame(1), 6), ACK_TWICE);
    m_host->send(frame(2));
    EXPECT_TRUE(m_host->silent()) << "data frame 2 should have been lost";
    EXPECT_EQ(m_host->exchange(frame(2), 6), ACK_TWICE) << "data frame 2 sent again";
    EXPECT_EQ(m_host->exchange(frame(3), 6), ACK_TWICE);
    EXPECT_EQ(m_host->exchange(frame(4), 6), ACK_TWICE);
    EXPECT_TRUE(m_host->silent()) << "the completion status should have been lost";
    EXPECT_EQ(m_host->exchange(frame(4), 10), ACK + ACK) << "last frame sent again after a lost completion status";

    image[0x10] ^= 0x01;
    uint16_t expected = 0;
    for (uint8_t byte : image) {
        expected = static_cast<uint16_t>(expected - byte);
    }
    const Bytes answer = checksum(0, 0x3FF);
    ASSERT_EQ(answer.size(), 11u);
    EXPECT_EQ(answer[7] | (answer[8] << 8), expected) << "checksum must show the corrupted byte";

    stop();
    const auto flash = m_board->flash().bytes();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()))
        << "flash differs from the image with its one corrupted byte";
}

TEST_F(SimBoardTest, FaultsThatEndATransferOrDelayTheEntry)
{
    start({"--fault", "from-entry:2", "--fault", "silent:program:1", "--fault", "status:data:0x11:1"});
    m_host->send(ENTRY);
    m_host->send(BAUD_115200);
    EXPECT_TRUE(m_host->silent()) << "answered the first mode entry";
    enter();
    m_host->send(ENTRY);
    m_host->send(BAUD_115200);
    EXPECT_TRUE(m_host->silent()) << "the next job's first mode entry must fail again";
    enter();

    const Bytes programming = rangeCommand(0x40, 0, 0x3FF);
    m_host->send(programming);
    EXPECT_TRUE(m_host->silent()) << "Programming should have been lost";
    EXPECT_EQ(m_host->exchange(programming, 5), ACK);
    EXPECT_EQ(m_host->exchange(dataFrame(filled(256, 0), false), 5), status(0x11));
    m_host->send(dataFrame(filled(256, 0), false));
    EXPECT_TRUE(m_host->silent()) << "a refused data frame must end the transfer";
    EXPECT_EQ(m_host->exchange(programming, 5), ACK);
    EXPECT_EQ(m_host->exchange(dataFrame(filled(256, 0), false), 5), ACK);
}

TEST_F(SimBoardTest, TakesAsLongAsTheLineAndTheFlashNeed)
{
    start({"--line-rate", "--erase-ms", "150", "--program-ms", "20"});
    enter();
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(m_host->exchange(erase(0), 5), ACK);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 150ms) << "an erase takes --erase-ms";

    begin = std::chrono::steady_clock::now();
    program(0, filled(1024, 0));
    // Each of the 4 frames needs 260 bytes of 11 bits at 115200 (24.8 ms) and 20 ms of programming.
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 4 * 44ms) << "programming faster than the line allows";
}

TEST_F(SimBoardTest, AnswersOnlyWithWholeFramesWhateverTheHostSends)
{
    // The core alone, fed random frames (some with random damage), stray
    // bytes, speed changes and quiet lines; with no fault set, everything it
    // sends must be a well-formed frame.
    SimOptions options;
    ASSERT_EQ(options.parse({"--code-flash-end", "0x7FF"}), "");
    SimBoard board(options);
    std::mt19937 random(20240611);
    const auto pick = [&random](uint32_t below) { return std::uniform_int_distribution<uint32_t>(0, below - 1)(random); };
    const uint8_t codes[] = {0x9A, 0x00, 0xC0, 0x32, 0x22, 0x40, 0xB0, 0x55};
    const uint32_t speeds[] = {115200, 115200, 250000, 1000000, 9600};
    std::size_t replies = 0;
    for (int round = 0; round < 20000; ++round) {
        Bytes body(1 + pick(pick(4) == 0 ? 256 : 8));
        for (uint8_t& byte : body) {
            byte = static_cast<uint8_t>(pick(pick(2) == 0 ? 4 : 256));
        }
        body[0] = pick(2) == 0 ? codes[pick(8)] : body[0];
        Bytes bytes = pick(8) == 0 ? ENTRY + (pick(2) == 0 ? BAUD_115200 : Bytes{}) : Bytes{};
        bytes = bytes + hostFrame(static_cast<uint8_t>(1 + pick(2)), body, pick(2) == 0 ? 0x03 : 0x17);
        if (pick(4) == 0) {
            bytes[pick(static_cast<uint32_t>(bytes.size()))] = static_cast<uint8_t>(pick(256));
        }
        if (pick(16) == 0) {
            board.lineIdle();
        }
        const SimLineSettings line{speeds[pick(5)], 8, 'N', static_cast<uint8_t>(pick(8) == 0 ? 1 : 2)};
        for (const SimReply& reply : board.receive(bytes, line)) {
            ++replies;
            const Bytes& frame = reply.bytes;
            ASSERT_GE(frame.size(), 5u);
            EXPECT_EQ(frame.front(), 0x02);
            EXPECT_EQ(frame.back(), 0x03);
            EXPECT_EQ(frame[1], frame.size() - 4);
            EXPECT_EQ(hostFrame(0x02, Bytes(frame.begin() + 2, frame.end() - 2), 0x03), frame);
            EXPECT_LE(reply.after, bytes.size());
        }
    }
    EXPECT_GT(replies, 1000u) << "the random frames hardly reached the board";
}

}  // namespace
