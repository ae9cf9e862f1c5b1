#include "NSSerialPortProcessor.h"

#include "ResultCodes.h"
#include "ScriptedBoard.h"

#if defined(__linux__)
#include "posix/LinuxSpeed.h"
#endif

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// The line mode entry opens.
constexpr LineFormat LINE_8N2 = {.dwBaudRate = 115200, .bDataBits = 8, .bStopBits = 2};

// The port opens the slave of a pseudo-terminal; the test plays the board on the master.
class NSSerialPortProcessorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(master != -1 && grantpt(master) == 0 && unlockpt(master) == 0) << "no pseudo-terminal";
        fcntl(master, F_SETFL, O_NONBLOCK);
        std::iota(all.begin(), all.end(), uint8_t{0});
    }
    void TearDown() override
    {
        port.Close();
        close(master);
    }

    // Waits on the port until it holds n bytes; the limit only keeps a broken build from hanging.
    bool receives(uint64_t n)
    {
        const uint64_t deadline = port.Now() + 20000;
        for (uint64_t have = 0; (have = port.GetReceiveDataLength()) < n && port.Now() < deadline;) {
            port.WaitReceived(have, deadline);
        }
        return port.GetReceiveDataLength() == n;
    }

    void openPort()
    {
        ASSERT_EQ(port.Open(ptsname(master), LINE_8N2), RESULT_OK);
        ASSERT_TRUE(port.IsReading()) << "Open returned before the port reads";
    }

    // Runs `event` on another thread 50 ms from now and returns whether a wait
    // for more bytes (and then, if asked, a pause) ended well before its 60 s
    // limit (which only keeps a broken build from hanging).
    static bool endsEarly(NSSerialPortProcessor& waiting, const std::function<void()>& event, bool fPause = false)
    {
        std::thread other([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            event();
        });
        const uint64_t started = waiting.Now();
        waiting.WaitReceived(waiting.GetReceiveDataLength(), started + 60000);
        if (fPause) {
            waiting.Pause(60000);
        }
        other.join();
        return waiting.Now() - started < 30000;
    }

#if defined(__linux__)
    // The input and output speed of the line, as the master sees them.
    std::pair<uint64_t, uint64_t> speeds() const
    {
        std::pair<uint64_t, uint64_t> both;
        EXPECT_EQ(getLinuxLineSpeed(master, &both.first, &both.second), 0);
        return both;
    }
#endif

    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    Bytes all = Bytes(256);  // every byte value
    NSSerialPortProcessor port;
};

TEST_F(NSSerialPortProcessorTest, DrivesARaw8N2LineThatCarriesEveryByte)
{
    openPort();
    ASSERT_EQ(write(master, all.data(), all.size()), 256);
    Bytes received(256);
    ASSERT_TRUE(receives(256)) << "buffered " << port.GetReceiveDataLength() << " of 256 bytes";
    ASSERT_EQ(port.GetReceivedData(received.data(), 256, 256), 256u);
    EXPECT_EQ(received, all) << "bytes such as 0x00, 0x03, 0x0A, 0x0D, 0x11, 0x13, 0x7F must pass as they are";
    // The line speeds and the 2 stop bits the end-to-end jobs prove: the
    // simulated board understands only the agreed speed with 8N2. (On a
    // Linux pseudo-terminal the kernel keeps 8 bits and no parity anyway.)
    struct termios tio {};
    ASSERT_EQ(tcgetattr(master, &tio), 0);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u) << "line editing, echo or signals left on";
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | BRKINT), 0u)
        << "flow control or input translation left on";
    EXPECT_EQ(tio.c_oflag & OPOST, 0u) << "output processing left on";
    EXPECT_EQ(port.SetDtr(), ERR_SEND) << "a pseudo-terminal has no modem lines";
    EXPECT_EQ(port.ClearDtr(), ERR_SEND);
    port.Close();
    EXPECT_FALSE(port.IsReading()) << "after Close";
    EXPECT_EQ(port.ChangeBaudRate(250000), ERR_BAUD_RATE) << "after Close";
}

// The receive buffer holds at most 1023 bytes: a chunk read from the device
// that does not fit whole is dropped whole, and the job goes on. Each row's
// chunks arrive 2 ms apart on a board of a time of its own, each read alone.
TEST(NSSerialPortProcessorBuffer, HoldsAtMost1023BytesAndDropsAChunkThatDoesNotFit)
{
    const struct {
        const char* what;
        std::vector<uint64_t> chunks;
        uint64_t holds;
    } rows[] = {
        {"filled to 1023", {512, 511}, 1023},
        {"one byte more is dropped", {512, 511, 1}, 1023},
        {"a chunk that does not fit is dropped whole, a later one that fits is kept", {512, 500, 12, 11}, 1023},
    };
    for (const auto& row : rows) {
        ScriptedBoard* pBoard = nullptr;
        auto port = ScriptedBoard::port(&pBoard);
        pBoard->expectOpen("board");
        for (size_t i = 0; i < row.chunks.size(); ++i) {
            pBoard->answer(Bytes(row.chunks[i], 0x55), 2 * i + 1);
        }
        ASSERT_EQ(port->Open("board", LINE_8N2), RESULT_OK);
        for (size_t i = 0; i < row.chunks.size(); ++i) {
            port->Pause(1);  // 2 ms on the board's clock: one more chunk is read
        }
        EXPECT_EQ(port->GetReceiveDataLength(), row.holds) << row.what;
    }
}

// A regular file, a device that is no terminal and a missing one are refused
// as a port in the end-to-end failures; the user's own terminal only a
// process of its own can show.
TEST_F(NSSerialPortProcessorTest, RefusesTheUsersTerminal)
{
    // A child in a session of its own whose controlling terminal is the device.
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        const int fd = setsid() == -1 ? -1 : open(ptsname(master), O_RDWR);
        _exit(fd != -1 && tcgetsid(fd) == getsid(0) && port.Open(ptsname(master), LINE_8N2) == ERR_PORT_OPEN ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the controlling terminal was opened as the port";
}

TEST_F(NSSerialPortProcessorTest, OpensAndClosesAtAnyMoment)
{
    // Close right after Open, or while the board sends; the port is destroyed right after Close.
    for (int i = 0; i < 300; ++i) {
        NSSerialPortProcessor other;
        ASSERT_EQ(other.Open(ptsname(master), LINE_8N2), RESULT_OK) << "cycle " << i;
        if (i % 3 == 0) {
            ASSERT_EQ(write(master, all.data(), all.size()), 256);
        }
        other.Close();
    }
    // A second Open replaces the first, and nothing of one job's buffer reaches the next.
    openPort();
    ASSERT_EQ(write(master, all.data(), 2), 2);
    ASSERT_TRUE(receives(2));
    openPort();
    EXPECT_EQ(port.GetReceiveDataLength(), 0u);
}

TEST_F(NSSerialPortProcessorTest, HoldsTheDeviceAloneAndLeavesItAsItWasFound)
{
    // The device as another program left it: cooked, echoing and with
    // software flow control (as a new pseudo-terminal is), with hardware flow
    // control, and on Linux with different input and output speeds.
    struct termios found {};
    ASSERT_EQ(tcgetattr(master, &found), 0);
    found.c_cflag |= CRTSCTS;
    ASSERT_EQ(tcsetattr(master, TCSANOW, &found), 0);
#if defined(__linux__)
    ASSERT_EQ(setLinuxLineSpeed(master, 250000, 500000), 0);
#endif
    ASSERT_EQ(tcgetattr(master, &found), 0);

    openPort();
    struct termios tio {};
    ASSERT_EQ(tcgetattr(master, &tio), 0);
    EXPECT_EQ(tio.c_cflag & CRTSCTS, 0u) << "hardware flow control left on";
#if defined(__linux__)
    EXPECT_EQ(speeds(), std::make_pair(uint64_t{115200}, uint64_t{115200})) << "an earlier speed survived Open";
#endif

    // A second job on the busy device is refused and changes nothing on it.
    NSSerialPortProcessor second;
    EXPECT_EQ(second.Open(ptsname(master), LINE_8N2), ERR_PORT_OPEN);
    EXPECT_FALSE(second.IsReading());
    struct termios after {};
    ASSERT_EQ(tcgetattr(master, &after), 0);
    EXPECT_EQ(std::memcmp(&after, &tio, sizeof tio), 0) << "the refused Open touched the line";
    ASSERT_EQ(write(master, all.data(), 3), 3);
    EXPECT_TRUE(receives(3)) << "the first job lost its bytes";

    ASSERT_EQ(port.ChangeBaudRate(1000000), RESULT_OK);
    port.Close();
    ASSERT_EQ(tcgetattr(master, &after), 0);
    EXPECT_EQ(std::memcmp(&after, &found, sizeof found), 0) << "Close did not put back what Open found";
#if defined(__linux__)
    EXPECT_EQ(speeds(), std::make_pair(uint64_t{250000}, uint64_t{500000}));
#endif
}

TEST_F(NSSerialPortProcessorTest, WaitsLastUntilBytesComeTheLineEndsOrTheDeadline)
{
    openPort();
    EXPECT_TRUE(endsEarly(port, [&] { ASSERT_EQ(write(master, all.data(), 5), 5); })) << "slept through the bytes";
    EXPECT_GT(port.GetReceiveDataLength(), 0u);
    // With nothing coming, a wait lasts until its deadline. (That a pause lasts
    // its length the end-to-end jobs prove: 1 ms from an answer to the next frame.)
    const uint64_t started = port.Now();
    port.WaitReceived(port.GetReceiveDataLength(), started + 150);
    EXPECT_GE(port.Now() - started, 150u) << "a wait ended before its deadline";

    // The board goes away: the port stops reading, and a wait ends at once.
    const int other = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(other != -1 && grantpt(other) == 0 && unlockpt(other) == 0);
    NSSerialPortProcessor lost;
    ASSERT_EQ(lost.Open(ptsname(other), LINE_8N2), RESULT_OK);
    EXPECT_TRUE(endsEarly(lost, [&] { close(other); })) << "the wait missed the hang-up";
    EXPECT_FALSE(lost.IsReading());
    EXPECT_TRUE(lost.IsDeviceGone());

    // Interrupted from another thread: the wait under way and every later one end at once.
    EXPECT_TRUE(endsEarly(
        port, [&] { port.Interrupt(); }, true))
        << "Interrupt did not end the waits";
    EXPECT_FALSE(port.IsReading());
    EXPECT_FALSE(port.IsDeviceGone()) << "a stop is not a device that went away";
}

// (ClearReceiveBuffer, which flushes the device and empties the buffer, the
// sequence tests follow at each mode entry.)
TEST_F(NSSerialPortProcessorTest, FlushesBothQueuesAtEachBreakChange)
{
    // In packet mode the master learns of every flush on the line.
    int on = 1;
    ASSERT_EQ(ioctl(master, TIOCPKT, &on), 0);
    openPort();
    uint8_t packet[16]{};
    while (read(master, packet, sizeof packet) > 0) {
    }
    for (const bool fOn : {true, false}) {
        fOn ? port.SetBreak() : port.ClearBreak();
        EXPECT_EQ(read(master, packet, sizeof packet), 1) << fOn;
        EXPECT_EQ(packet[0], TIOCPKT_FLUSHREAD | TIOCPKT_FLUSHWRITE) << "break " << fOn << " did not flush both queues";
    }
}

}  // namespace
