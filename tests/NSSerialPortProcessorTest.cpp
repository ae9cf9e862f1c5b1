#include "NSSerialPortProcessor.h"

#include "ResultCodes.h"

#if defined(__linux__)
#include "LinuxSpeed.h"
#endif

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Waits for a condition that the receive thread brings about; the limit only
// keeps a broken build from hanging.
template <class Condition>
bool eventually(Condition condition)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

Bytes allByteValues()
{
    Bytes bytes(256);
    std::iota(bytes.begin(), bytes.end(), uint8_t {0});
    return bytes;
}

// A pseudo-terminal pair: the port opens the slave, the test plays the board
// on the master.
class Board {
public:
    Board()
    {
        m_master = posix_openpt(O_RDWR | O_NOCTTY);
        if (m_master == -1 || grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
            ADD_FAILURE() << "no pseudo-terminal";
            return;
        }
        m_slavePath = ptsname(m_master);
        fcntl(m_master, F_SETFL, O_NONBLOCK);
    }
    ~Board() { close(m_master); }

    int master() const { return m_master; }
    const char* path() const { return m_slavePath.c_str(); }

    void send(const Bytes& bytes) const
    {
        ASSERT_EQ(write(m_master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    Bytes receive(size_t count) const
    {
        Bytes bytes;
        eventually([&] {
            uint8_t chunk[512];
            ssize_t n = read(m_master, chunk, std::min(sizeof chunk, count - bytes.size()));
            bytes.insert(bytes.end(), chunk, chunk + std::max<ssize_t>(n, 0));
            return bytes.size() == count;
        });
        return bytes;
    }

    struct termios line() const
    {
        struct termios tio {};
        EXPECT_EQ(tcgetattr(m_master, &tio), 0);
        return tio;
    }

private:
    int m_master = -1;
    std::string m_slavePath;
};

void openAndWaitForReading(NSSerialPortProcessor& port, const Board& board)
{
    ASSERT_EQ(port.Open(board.path()), RESULT_OK);
    ASSERT_TRUE(eventually([&] { return port.IsReading(); })) << "the receive thread never started";
}

TEST(NSSerialPortProcessor, OpenSetsA115200Baud8N2RawLine)
{
    Board board; // a new pseudo-terminal starts cooked, at 38400 baud, 8N1
    NSSerialPortProcessor port;
    openAndWaitForReading(port, board);
    struct termios tio = board.line();
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8)) << "8 data bits";
    EXPECT_NE(tio.c_cflag & CSTOPB, 0u) << "2 stop bits";
    EXPECT_EQ(tio.c_cflag & PARENB, 0u) << "no parity";
    EXPECT_NE(tio.c_iflag & IGNPAR, 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u) << "line editing, echo or signals left on";
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | BRKINT), 0u)
        << "flow control or input translation left on";
    EXPECT_EQ(tio.c_oflag & OPOST, 0u) << "output processing left on";
}

TEST(NSSerialPortProcessor, CarriesEveryByteValueUnchangedBothWays)
{
    Board board;
    NSSerialPortProcessor port;
    openAndWaitForReading(port, board);
    const Bytes all = allByteValues();

    board.send(all);
    ASSERT_TRUE(eventually([&] { return port.GetReceiveDataLength() == all.size(); }))
        << "buffered " << port.GetReceiveDataLength() << " of 256 bytes";
    Bytes received(all.size());
    ASSERT_EQ(port.GetReceivedData(received.data(), received.size(), received.size()), all.size());
    EXPECT_EQ(received, all) << "bytes such as 0x00, 0x03, 0x0A, 0x0D, 0x11, 0x13, 0x7F must pass as they are";

    ASSERT_EQ(port.SendData(all.data(), all.size()), RESULT_OK);
    EXPECT_EQ(board.receive(all.size()), all);
    EXPECT_EQ(port.SendData(all.data(), 0), RESULT_OK);
}

TEST(NSSerialPortProcessor, TakesWholeFramesFromABoundedBuffer)
{
    Board board;
    NSSerialPortProcessor port;
    openAndWaitForReading(port, board);

    const Bytes six {0x02, 0x01, 0x06, 0x03, 0x00, 0x02};
    ASSERT_EQ(port.setReadData(six.data(), six.size()), RESULT_OK);
    uint8_t first = 0;
    uint64_t second = 0;
    EXPECT_EQ(port.CheckDataFrame(&first, &second), RESULT_OK);
    EXPECT_EQ(first, 0x02);
    EXPECT_EQ(second, 0x01u);
    EXPECT_EQ(port.GetReceiveDataLength(), 6u) << "a peek must not take bytes";

    Bytes frame(3);
    EXPECT_EQ(port.GetReceivedData(frame.data(), 2, 3), 0u) << "more than the destination holds";
    ASSERT_EQ(port.GetReceivedData(frame.data(), frame.size(), 3), 3u);
    EXPECT_EQ(frame, (Bytes {0x02, 0x01, 0x06}));
    EXPECT_EQ(port.GetReceiveDataLength(), 3u);
    EXPECT_EQ(port.GetReceivedData(frame.data(), frame.size(), 4), 0u) << "a frame is taken whole or not at all";
    ASSERT_EQ(port.GetReceivedData(frame.data(), frame.size(), 3), 3u);
    EXPECT_EQ(frame, (Bytes {0x03, 0x00, 0x02})) << "the rest must move to the front";
    EXPECT_EQ(port.GetReceiveDataLength(), 0u);

    const Bytes chunk(1000, 0xAA);
    const Bytes tail(24, 0x55);
    ASSERT_EQ(port.setReadData(chunk.data(), chunk.size()), RESULT_OK);
    EXPECT_EQ(port.setReadData(tail.data(), 24), ERR_BUFFER_OVERFLOW);
    EXPECT_EQ(port.GetReceiveDataLength(), 1000u) << "a chunk that does not fit is refused whole";
    EXPECT_EQ(port.setReadData(tail.data(), 23), RESULT_OK);
    EXPECT_EQ(port.GetReceiveDataLength(), 1023u);
    EXPECT_EQ(port.setReadData(tail.data(), 1), ERR_BUFFER_OVERFLOW);

    port.clearReadData();
    EXPECT_EQ(port.GetReceiveDataLength(), 0u);
}

TEST(NSSerialPortProcessor, ChangesTheSpeedExactly)
{
    NSSerialPortProcessor port;
    EXPECT_EQ(port.ChangeBaudRate(250000), ERR_BAUD_RATE) << "no device open";

    Board board;
    openAndWaitForReading(port, board);
#if defined(__linux__)
    for (uint64_t speed : {250000u, 500000u, 1000000u, 115200u}) {
        ASSERT_EQ(port.ChangeBaudRate(speed), RESULT_OK) << speed;
        uint64_t input = 0;
        uint64_t output = 0;
        ASSERT_EQ(getLinuxLineSpeed(board.master(), &input, &output), 0);
        EXPECT_EQ(input, speed);
        EXPECT_EQ(output, speed);
        struct termios tio = board.line();
        EXPECT_EQ(tio.c_cflag & (CSIZE | CSTOPB | PARENB), static_cast<tcflag_t>(CS8 | CSTOPB))
            << "the character format must stay 8N2 at " << speed;
    }
#endif
    port.Close();
    EXPECT_EQ(port.ChangeBaudRate(250000), ERR_BAUD_RATE) << "after Close";
}

TEST(NSSerialPortProcessor, DrivesBreakAndReportsMissingModemLines)
{
    Board board;
    NSSerialPortProcessor port;
    openAndWaitForReading(port, board);
    EXPECT_EQ(port.SetBreak(), RESULT_OK);
    EXPECT_EQ(port.ClearBreak(), RESULT_OK);
    // A pseudo-terminal has no modem-control lines.
    EXPECT_EQ(port.SetDtr(), ERR_SEND);
    EXPECT_EQ(port.ClearDtr(), ERR_SEND);
}

TEST(NSSerialPortProcessor, RefusesWhatIsNotATerminal)
{
    const auto dir = std::filesystem::temp_directory_path() / ("quenwick-serial-" + std::to_string(getpid()));
    std::filesystem::create_directory(dir);
    const auto file = dir / "image.bin";
    const std::string contents = "\x10\x20\x30";
    std::ofstream(file, std::ios::binary) << contents;

    for (const std::filesystem::path& path : {file, dir, std::filesystem::path("/dev/null"), dir / "missing"}) {
        NSSerialPortProcessor port;
        EXPECT_EQ(port.Open(path.c_str()), ERR_PORT_OPEN) << path;
        EXPECT_FALSE(port.IsReading()) << path;
        const uint8_t zero = 0x00;
        EXPECT_EQ(port.SendData(&zero, 1), ERR_SEND) << path;
        EXPECT_EQ(port.SetDtr(), ERR_SEND) << path;
        port.Close();
        port.Close();
    }

    std::ifstream in(file, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), contents) << "the file must be left as it was";
    std::filesystem::remove_all(dir);
}

TEST(NSSerialPortProcessor, OpensAndClosesAtAnyMoment)
{
    Board board;
    NSSerialPortProcessor port;
    for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(port.Open(board.path()), RESULT_OK) << "cycle " << i;
        port.Close();
        EXPECT_FALSE(port.IsReading()) << "cycle " << i;
    }

    // Close while the board is sending, and destroy right after Close.
    const Bytes all = allByteValues();
    for (int i = 0; i < 100; ++i) {
        auto other = std::make_unique<NSSerialPortProcessor>();
        ASSERT_EQ(other->Open(board.path()), RESULT_OK);
        if (i % 2 == 0) {
            ASSERT_TRUE(eventually([&] { return other->IsReading(); }));
            board.send(all);
        }
        other->Close();
        other.reset();
    }

    // A forgotten Close is made by the destructor; a second Open replaces the first.
    {
        NSSerialPortProcessor forgotten;
        ASSERT_EQ(forgotten.Open(board.path()), RESULT_OK);
        ASSERT_EQ(forgotten.Open(board.path()), RESULT_OK);
    }

    // Nothing of one job's buffer reaches the next.
    openAndWaitForReading(port, board);
    EXPECT_TRUE(port.IsReading()) << "the thread reports itself without further calls";
    const Bytes stale {0x02, 0x03};
    ASSERT_EQ(port.setReadData(stale.data(), stale.size()), RESULT_OK);
    port.Close();
    EXPECT_FALSE(port.IsReading());
    openAndWaitForReading(port, board);
    EXPECT_EQ(port.GetReceiveDataLength(), 0u);
}

} // namespace
