// A small host for the simulated board's tests: it opens the board's device
// the way a flash writer opens a serial port and trades bytes with it.
#pragma once

#include "SimLineSpeed.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

inline Bytes operator+(Bytes first, const Bytes& second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

class SimTestHost {
public:
    explicit SimTestHost(const std::string& path) : m_fd(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK))
    {
        EXPECT_GE(m_fd, 0) << "cannot open " << path;
        setLine(115200, CS8 | CSTOPB);
        tcflush(m_fd, TCIOFLUSH);
    }
    ~SimTestHost() { close(m_fd); }
    SimTestHost(const SimTestHost&) = delete;
    SimTestHost& operator=(const SimTestHost&) = delete;

    // Raw line at speed with the given character format (CS8 | CSTOPB is 8N2).
    void setLine(uint32_t speed, tcflag_t format)
    {
        struct termios settings {};
        ASSERT_EQ(tcgetattr(m_fd, &settings), 0);
        cfmakeraw(&settings);
        settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD);
        settings.c_cflag |= format | CREAD | CLOCAL;
        ASSERT_EQ(tcsetattr(m_fd, TCSANOW, &settings), 0);
        ASSERT_TRUE(SimLineSpeed::set(m_fd, speed)) << "cannot set " << speed << " baud";
    }

    // Sends bytes and reads until count bytes are in or the time is up.
    Bytes exchange(const Bytes& bytes, std::size_t count, std::chrono::milliseconds timeout = 5s)
    {
        EXPECT_EQ(write(m_fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        Bytes answer;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (answer.size() < count && std::chrono::steady_clock::now() < deadline) {
            pollfd descriptor{m_fd, POLLIN, 0};
            uint8_t chunk[512];
            if (poll(&descriptor, 1, 10) > 0) {
                if (const ssize_t n = read(m_fd, chunk, std::min(sizeof chunk, count - answer.size())); n > 0) {
                    answer.insert(answer.end(), chunk, chunk + n);
                }
            }
        }
        return answer;
    }

    // Sends bytes; true when nothing comes back for a while.
    bool ignored(const Bytes& bytes) { return exchange(bytes, 1, 300ms).empty(); }

private:
    int m_fd;
};

// Frames built here follow the frame table directly, independent of the
// board's codec: start, length (256 as 0), body, sum of length and body, end.
inline Bytes hostFrame(uint8_t start, const Bytes& body, uint8_t end)
{
    Bytes frame{start, static_cast<uint8_t>(body.size())};
    uint8_t sum = static_cast<uint8_t>(-frame[1]);
    for (uint8_t byte : body) {
        frame.push_back(byte);
        sum = static_cast<uint8_t>(sum - byte);
    }
    return frame + Bytes{sum, end};
}

inline Bytes dataFrame(const Bytes& data, bool last) { return hostFrame(0x02, data, last ? 0x03 : 0x17); }
inline Bytes status(uint8_t value) { return hostFrame(0x02, {value}, 0x03); }

// Command frames as bytes; the literal ones are checked against the frame table by hand.
inline const Bytes ENTRY{0x00};
inline const Bytes BAUD_115200{0x01, 0x03, 0x9A, 0x00, 0x21, 0x42, 0x03};
inline const Bytes RESET{0x01, 0x01, 0x00, 0xFF, 0x03};
inline const Bytes SIGNATURE{0x01, 0x01, 0xC0, 0x3F, 0x03};
inline const Bytes ACK{0x02, 0x01, 0x06, 0xF9, 0x03};

inline Bytes address(uint32_t value)
{
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16)};
}
inline Bytes command(uint8_t code, const Bytes& parameters) { return hostFrame(0x01, Bytes{code} + parameters, 0x03); }
inline Bytes rangeCommand(uint8_t code, uint32_t start, uint32_t end)
{
    return command(code, address(start) + address(end));
}

// The board's answer to a Checksum command.
inline Bytes checksumAnswer(uint16_t sum)
{
    return ACK + hostFrame(0x02, {static_cast<uint8_t>(sum), static_cast<uint8_t>(sum >> 8)}, 0x03);
}
