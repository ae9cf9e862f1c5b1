#include "NSSerialPortProcessor.h"

#include "NSGetTime.h"
#include "ResultCodes.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <new>
#include <system_error>

#if defined(__APPLE__)
#include <IOKit/serial/ioss.h>
#elif defined(__linux__)
#include "LinuxSpeed.h"

#include <sys/prctl.h>
#endif

namespace {

// One byte of the array is never used: the buffer holds at most 1023 bytes.
constexpr uint64_t RECEIVE_LIMIT = NSSerialPortProcessor::RECEIVE_BUFFER_SIZE - 1;

// The platform's request for an exact speed on the open descriptor. macOS
// sets one speed for both directions; Linux sets each. Returns 0, or -1.
int setLineSpeed(int fd, uint64_t inputSpeed, uint64_t outputSpeed)
{
#if defined(__APPLE__)
    (void)inputSpeed;
    speed_t value = static_cast<speed_t>(outputSpeed);
    return ioctl(fd, IOSSIOSPEED, &value);
#elif defined(__linux__)
    return setLinuxLineSpeed(fd, inputSpeed, outputSpeed);
#else
#error "no arbitrary line speed request for this platform"
#endif
}

// The speeds the device has now, whatever they are. Returns 0, or -1.
int getLineSpeed(int fd, uint64_t* pInputSpeed, uint64_t* pOutputSpeed)
{
#if defined(__APPLE__)
    struct termios tio {};
    if (tcgetattr(fd, &tio) == -1) {
        return -1;
    }
    *pInputSpeed = cfgetispeed(&tio);
    *pOutputSpeed = cfgetospeed(&tio);
    return 0;
#else
    return getLinuxLineSpeed(fd, pInputSpeed, pOutputSpeed);
#endif
}

// Linux lets a thread's timed waits end up to 50 microseconds late by default,
// which the millisecond pause before every frame would pay each time. The
// setting holds for the calling thread and the threads it starts later.
void sharpenTimers()
{
#if defined(__linux__)
    prctl(PR_SET_TIMERSLACK, 1UL);
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
// channel: no line editing, echo, signals, flow control or translation, and a
// read that returns what is there (none of it is an end of file).
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
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
#if defined(CIBAUD)
    // Linux keeps a separate input speed in these bits; cleared, the input
    // speed follows the output speed, and no earlier one survives.
    tio.c_cflag &= ~static_cast<tcflag_t>(CIBAUD);
#endif
}

// A descriptor that select can watch: below FD_SETSIZE, closed on exec.
bool selectable(int fd)
{
    return fd >= 0 && fd < FD_SETSIZE && fcntl(fd, F_SETFD, FD_CLOEXEC) != -1;
}

// Why a freshly opened descriptor may not be used as the port; 0 when it may.
// Nothing on the device is changed by these checks.
uint64_t refusal(int fd, struct termios* pFound)
{
    // Only a terminal device is a serial line; a regular file or /dev/null
    // would silently swallow the frames written to it.
    if (!selectable(fd) || tcgetattr(fd, pFound) == -1) {
        return ERR_PORT_OPEN;
    }
    // The user's own terminal: frames would land on the screen.
    if (tcgetsid(fd) != -1) {
        return ERR_PORT_OPEN;
    }
    // Another program has it.
    if (flock(fd, LOCK_EX | LOCK_NB) == -1) {
        return ERR_PORT_OPEN;
    }
    return RESULT_OK;
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

    const int fd = ::open(pbPortName, O_RDWR | O_NONBLOCK | O_NOCTTY);
    if (fd == -1) {
        return ERR_PORT_OPEN;
    }
    if (refusal(fd, &m_lineSettings_org.tio) != RESULT_OK) {
        ::close(fd);
        return ERR_PORT_OPEN;
    }
    m_iComPort = fd;
    ioctl(m_iComPort, TIOCEXCL);
    sharpenTimers();  // the job's waits run on the thread that opens the port
    getLineSpeed(m_iComPort, &m_lineSettings_org.inputSpeed, &m_lineSettings_org.outputSpeed);

    m_termios = m_lineSettings_org.tio;
    makeLineSettings(m_termios);
    tcsetattr(m_iComPort, TCSANOW, &m_termios);

    int wake[2] = {-1, -1};
    if (pipe(wake) == -1) {
        releaseDevice();
        return ERR_INIT;
    }
    m_iWakeRead = wake[0];
    m_iWakeWrite = wake[1];
    if (!selectable(m_iWakeRead) || !selectable(m_iWakeWrite)) {
        releaseDevice();
        return ERR_INIT;
    }

    // Whatever arrived before the port was ready is discarded before it
    // reports itself reading; what comes later waits in the device until the
    // thread reads it, so nothing is lost while the thread starts.
    tcflush(m_iComPort, TCIOFLUSH);
    setRecvLoopFlag(true);
    m_isRecvStop.store(false);
    try {
        m_recvThread = std::thread(&NSSerialPortProcessor::receiveData, this);
    } catch (const std::system_error&) {
        setRecvLoopFlag(false);
        releaseDevice();
        return ERR_INIT;
    }
    return RESULT_OK;
}

void NSSerialPortProcessor::Close()
{
    if (m_recvThread.joinable()) {
        m_isRecvStop.store(true);
        const uint8_t bWake = 0;
        // One byte into an empty pipe: it neither blocks nor fails.
        [[maybe_unused]] const ssize_t written = ::write(m_iWakeWrite, &bWake, 1);
        m_recvThread.join();
    }
    setRecvLoopFlag(false);
    releaseDevice();
    m_lpbReceivedData.reset();
    m_dwReceivedDataLength = 0;
}

// Puts back what Open found and closes the device and the wake-up pipe.
void NSSerialPortProcessor::releaseDevice()
{
    if (m_iComPort != -1) {
        // The terminal record carries the standard speeds; a speed outside
        // that table needs the speed request of its own.
        const LineSettings& found = m_lineSettings_org;
        tcsetattr(m_iComPort, TCSANOW, &found.tio);
        uint64_t inputSpeed = 0;
        uint64_t outputSpeed = 0;
        if (found.outputSpeed != 0 && getLineSpeed(m_iComPort, &inputSpeed, &outputSpeed) == 0 &&
            (inputSpeed != found.inputSpeed || outputSpeed != found.outputSpeed)) {
            setLineSpeed(m_iComPort, found.inputSpeed, found.outputSpeed);
        }
        ioctl(m_iComPort, TIOCNXCL);
        ::close(m_iComPort);  // also lets go of the lock
        m_iComPort = -1;
    }
    for (int* pFd : {&m_iWakeRead, &m_iWakeWrite}) {
        if (*pFd != -1) {
            ::close(*pFd);
            *pFd = -1;
        }
    }
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
    if (m_iComPort == -1 || setLineSpeed(m_iComPort, dwBaudRate, dwBaudRate) == -1) {
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
    return m_isRecvLoop.load() && !m_isInterrupted.load();
}

uint64_t NSSerialPortProcessor::Now()
{
    return NSGetTime::getTimeOfDay_msec();
}

void NSSerialPortProcessor::WaitReceived(uint64_t dwKnownLength, uint64_t dwDeadline)
{
    std::unique_lock<std::mutex> lock(m_mylock);
    for (uint64_t dwNow = Now(); dwNow < dwDeadline; dwNow = Now()) {
        const bool fChanged = m_received.wait_for(lock, std::chrono::milliseconds(dwDeadline - dwNow), [&] {
            return m_dwReceivedDataLength != dwKnownLength || !m_isRecvLoop.load() || m_isInterrupted.load();
        });
        if (fChanged) {
            return;
        }
    }
}

void NSSerialPortProcessor::Pause(uint64_t dwMsec)
{
    // On the steady clock, finer than milliseconds; only Interrupt ends it early.
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(dwMsec) + std::chrono::microseconds(1);
    std::unique_lock<std::mutex> lock(m_mylock);
    m_received.wait_until(lock, end, [this] { return m_isInterrupted.load(); });
}

void NSSerialPortProcessor::Interrupt()
{
    {
        std::lock_guard<std::mutex> lock(m_mylock);
        m_isInterrupted.store(true);
    }
    m_received.notify_all();
}

void NSSerialPortProcessor::TakeInPending()
{
    // At most what the buffer can hold, so a device that keeps sending cannot
    // hold the caller here.
    for (uint64_t pass = 0; pass <= RECEIVE_LIMIT / RECEIVE_CHUNK_SIZE && m_isRecvLoop.load(); ++pass) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(m_iComPort, &readable);
        struct timeval noWait {};
        if (select(m_iComPort + 1, &readable, nullptr, nullptr, &noWait) <= 0 || !readDevice()) {
            return;
        }
    }
}

uint64_t NSSerialPortProcessor::setReadData(const uint8_t* pbData, uint64_t readSize)
{
    {
        std::lock_guard<std::mutex> lock(m_mylock);
        if (!m_lpbReceivedData || readSize > RECEIVE_LIMIT - m_dwReceivedDataLength) {
            return ERR_BUFFER_OVERFLOW;
        }
        std::copy_n(pbData, readSize, m_lpbReceivedData.get() + m_dwReceivedDataLength);
        m_dwReceivedDataLength += readSize;
    }
    m_received.notify_all();
    return RESULT_OK;
}

void NSSerialPortProcessor::clearReadData()
{
    std::lock_guard<std::mutex> lock(m_mylock);
    m_dwReceivedDataLength = 0;
}

void NSSerialPortProcessor::setRecvLoopFlag(bool flag)
{
    {
        std::lock_guard<std::mutex> lock(m_mylock);
        m_isRecvLoop.store(flag);
    }
    m_received.notify_all();
}

// Reads one chunk from the device into the buffer. Returns false when the
// device has hung up or failed; "nothing there yet" is not a failure.
bool NSSerialPortProcessor::readDevice()
{
    std::array<uint8_t, RECEIVE_CHUNK_SIZE> chunk {};
    std::lock_guard<std::mutex> reading(m_readLock);
    const ssize_t n = ::read(m_iComPort, chunk.data(), chunk.size());
    if (n > 0) {
        // A chunk that does not fit is dropped whole.
        setReadData(chunk.data(), static_cast<uint64_t>(n));
        return true;
    }
    return n == -1 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
}

// Sleeps until the device has bytes (or has hung up) or Close wakes it. After
// a hang-up or a read error only the wake-up pipe is watched: the port no
// longer reads, and a waiting job learns it at once.
void NSSerialPortProcessor::receiveData()
{
    bool fDeviceLive = true;
    while (!m_isRecvStop.load()) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(m_iWakeRead, &readable);
        if (fDeviceLive) {
            FD_SET(m_iComPort, &readable);
        }
        const int n = select(std::max(m_iComPort, m_iWakeRead) + 1, &readable, nullptr, nullptr, nullptr);
        if (n == -1 && errno != EINTR) {
            setRecvLoopFlag(false);
            return;
        }
        if (n > 0 && fDeviceLive && FD_ISSET(m_iComPort, &readable) && !readDevice()) {
            fDeviceLive = false;
            setRecvLoopFlag(false);
        }
    }
}
