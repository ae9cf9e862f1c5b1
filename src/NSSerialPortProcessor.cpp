#include "NSSerialPortProcessor.h"

#include "ResultCodes.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <new>
#include <system_error>
#include <thread>

#if defined(__APPLE__)
#include <IOKit/serial/ioss.h>
#elif defined(__linux__)
#include "LinuxSpeed.h"
#endif

namespace {

// One byte of the array is never used: the buffer holds at most 1023 bytes.
constexpr uint64_t RECEIVE_LIMIT = NSSerialPortProcessor::RECEIVE_BUFFER_SIZE - 1;

// The platform's request for an arbitrary speed, in both directions, on the
// open descriptor. Returns 0, or -1 on failure.
int setLineSpeed(int fd, uint64_t speed)
{
#if defined(__APPLE__)
    speed_t value = static_cast<speed_t>(speed);
    return ioctl(fd, IOSSIOSPEED, &value);
#elif defined(__linux__)
    return setLinuxLineSpeed(fd, speed);
#else
#error "no arbitrary line speed request for this platform"
#endif
}

// A break request followed, when it succeeds, by a flush of both queues.
uint64_t breakRequest(int fd, unsigned long request)
{
    if (ioctl(fd, request) == -1) {
        return ERR_SEND;
    }
    tcflush(fd, TCIOFLUSH);
    return RESULT_OK;
}

uint64_t setModemBits(int fd, uint32_t bits)
{
    int value = static_cast<int>(bits);
    return ioctl(fd, TIOCMSET, &value) == -1 ? ERR_SEND : RESULT_OK;
}

// 8 data bits, no parity, 2 stop bits at 115200, over a transparent 8-bit
// channel: no line editing, echo, signals, flow control or translation.
void makeLineSettings(struct termios& tio)
{
    cfsetspeed(&tio, B115200);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB);
    tio.c_cflag |= CS8 | CSTOPB | CLOCAL | CREAD;
    tio.c_iflag |= IGNPAR;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | INPCK |
                                          PARMRK | BRKINT);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOKE |
                                          ECHOPRT | ISIG | IEXTEN);
}

} // namespace

NSSerialPortProcessor::NSSerialPortProcessor() = default;

NSSerialPortProcessor::~NSSerialPortProcessor()
{
    NSSerialPortProcessor::Close();
}

uint64_t NSSerialPortProcessor::Open(const char* pbPortName)
{
    // A second Open without Close would free the buffer under a running thread.
    NSSerialPortProcessor::Close();

    m_lpbReceivedData.reset(new (std::nothrow) uint8_t[RECEIVE_BUFFER_SIZE]());
    if (!m_lpbReceivedData) {
        return ERR_INIT;
    }

    m_iComPort = ::open(pbPortName, O_RDWR | O_NONBLOCK | O_NOCTTY);
    if (m_iComPort == -1) {
        return ERR_PORT_OPEN;
    }
    // Only a terminal device is a serial line; a regular file or /dev/null
    // would silently swallow the frames written to it.
    if (tcgetattr(m_iComPort, &m_termios) == -1) {
        ::close(m_iComPort);
        m_iComPort = -1;
        return ERR_PORT_OPEN;
    }
    makeLineSettings(m_termios);
    tcsetattr(m_iComPort, TCSANOW, &m_termios);

    // The thread is live from here on, so that a Close at any moment, even
    // before the thread runs, waits for it.
    m_isRecvThreadLive.store(true, std::memory_order_release);
    try {
        std::thread(&NSSerialPortProcessor::receiveData, this).detach();
    } catch (const std::system_error&) {
        m_isRecvThreadLive.store(false, std::memory_order_release);
        ::close(m_iComPort);
        m_iComPort = -1;
        return ERR_INIT;
    }
    return RESULT_OK;
}

void NSSerialPortProcessor::Close()
{
    if (m_iComPort != -1) {
        // Stop handshake: keep clearing the loop flag (the thread sets it as
        // it starts) until the thread reports that it has let go of the object.
        while (m_isRecvThreadLive.load(std::memory_order_acquire)) {
            setRecvLoopFlag(false);
        }
        ::close(m_iComPort);
        m_iComPort = -1;
    }
    m_lpbReceivedData.reset();
    m_dwReceivedDataLength = 0;
}

uint64_t NSSerialPortProcessor::SendData(const uint8_t* pbData, uint64_t writeBytes)
{
    ssize_t written = ::write(m_iComPort, pbData, writeBytes);
    return written < 0 || static_cast<uint64_t>(written) != writeBytes ? ERR_SEND : RESULT_OK;
}

uint64_t NSSerialPortProcessor::SetBreak()
{
    return breakRequest(m_iComPort, TIOCSBRK);
}

uint64_t NSSerialPortProcessor::ClearBreak()
{
    return breakRequest(m_iComPort, TIOCCBRK);
}

uint64_t NSSerialPortProcessor::SetDtr()
{
    int bits = 0;
    if (ioctl(m_iComPort, TIOCMGET, &bits) == -1) {
        return ERR_SEND;
    }
    m_stat_org = static_cast<uint32_t>(bits);
    return setModemBits(m_iComPort, m_stat_org | TIOCM_DTR);
}

uint64_t NSSerialPortProcessor::ClearDtr()
{
    return setModemBits(m_iComPort, m_stat_org & ~static_cast<uint32_t>(TIOCM_DTR));
}

uint64_t NSSerialPortProcessor::ChangeBaudRate(uint64_t dwBaudRate)
{
    if (m_iComPort == -1 || setLineSpeed(m_iComPort, dwBaudRate) == -1) {
        return ERR_BAUD_RATE;
    }
    return RESULT_OK;
}

void NSSerialPortProcessor::ClearReceiveBuffer()
{
    tcflush(m_iComPort, TCIOFLUSH);
    clearReadData();
}

uint64_t NSSerialPortProcessor::GetReceiveDataLength()
{
    std::lock_guard<std::mutex> lock(m_mylock);
    return m_dwReceivedDataLength;
}

uint64_t NSSerialPortProcessor::CheckDataFrame(uint8_t* pbFirst, uint64_t* len)
{
    std::lock_guard<std::mutex> lock(m_mylock);
    if (m_lpbReceivedData) {
        *pbFirst = m_lpbReceivedData[0];
        *len = m_lpbReceivedData[1];
    }
    return RESULT_OK;
}

uint64_t NSSerialPortProcessor::GetReceivedData(uint8_t* pbData, uint64_t bufferSize, uint64_t readLength)
{
    std::lock_guard<std::mutex> lock(m_mylock);
    if (readLength > bufferSize || readLength > m_dwReceivedDataLength) {
        return 0;
    }
    uint8_t* pbBuffer = m_lpbReceivedData.get();
    std::copy_n(pbBuffer, readLength, pbData);
    std::copy(pbBuffer + readLength, pbBuffer + m_dwReceivedDataLength, pbBuffer);
    m_dwReceivedDataLength -= readLength;
    return readLength;
}

bool NSSerialPortProcessor::IsReading()
{
    return m_isRecvLoop.load();
}

uint64_t NSSerialPortProcessor::setReadData(const uint8_t* pbData, uint64_t readSize)
{
    std::lock_guard<std::mutex> lock(m_mylock);
    if (!m_lpbReceivedData || readSize > RECEIVE_LIMIT - m_dwReceivedDataLength) {
        return ERR_BUFFER_OVERFLOW;
    }
    std::copy_n(pbData, readSize, m_lpbReceivedData.get() + m_dwReceivedDataLength);
    m_dwReceivedDataLength += readSize;
    return RESULT_OK;
}

void NSSerialPortProcessor::clearReadData()
{
    std::lock_guard<std::mutex> lock(m_mylock);
    m_dwReceivedDataLength = 0;
}

void NSSerialPortProcessor::setRecvLoopFlag(bool flag)
{
    std::lock_guard<std::mutex> lock(m_mylock);
    m_isRecvLoop.store(flag);
}

void NSSerialPortProcessor::receiveData()
{
    std::array<uint8_t, RECEIVE_CHUNK_SIZE> chunk {};
    // Whatever arrived before the port was ready is discarded before the
    // thread reports itself reading, so nothing sent after that is lost.
    tcflush(m_iComPort, TCIOFLUSH);
    setRecvLoopFlag(true);

    // Polls without sleeping so that a byte reaches the buffer as soon as it
    // arrives; read errors are not reported, the loop runs until Close.
    while (m_isRecvLoop.load()) {
        ssize_t n = ::read(m_iComPort, chunk.data(), chunk.size());
        if (n > 0) {
            // A chunk that does not fit is dropped whole.
            setReadData(chunk.data(), static_cast<uint64_t>(n));
            chunk.fill(0);
        }
    }
    // The last touch of the object: once Close sees this, it may close the
    // descriptor and free the buffer, and the object may be destroyed.
    m_isRecvThreadLive.store(false, std::memory_order_release);
}
