// The serial device on Linux and macOS: a terminal device, waited on with
// select together with a wake-up pipe.
#include "SerialDevice.h"

#include "DeviceRegistry.h"
#include "PosixSerial.h"
#include "ResultCodes.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

namespace {

// A descriptor that select can watch: below FD_SETSIZE, closed on exec.
bool selectable(int fd) { return fd >= 0 && fd < FD_SETSIZE && fcntl(fd, F_SETFD, FD_CLOEXEC) != -1; }

// Who else may open the device, where its group may read and write it and
// has a name: " (members of group dialout may)"; "" otherwise.
std::string groupHint(const char* pbPortName)
{
    struct stat status {};
    const struct group* pGroup = nullptr;
    if (::stat(pbPortName, &status) == -1 || (status.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP) ||
        (pGroup = getgrgid(status.st_gid)) == nullptr) {
        return "";
    }
    return std::string(" (members of group ") + pGroup->gr_name + " may)";
}

// The system's answer to opening or taking the port, in words.
std::string openFailure(int error, const char* pbPortName)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENXIO:
    case ENODEV: return "the port does not exist";
    case EACCES:
    case EPERM: return "this user may not open the port" + groupHint(pbPortName);
    case EBUSY:
    case EWOULDBLOCK: return "the port is in use by another program";
    case ENOTTY:
    case EISDIR: return "the port is not a serial device";
    default: return std::string("the port cannot be opened (") + std::strerror(error) + ")";
    }
}

// Why a freshly opened descriptor may not be used as the port, in words; ""
// when it may. Nothing on the device is changed by these checks.
std::string refusal(int fd, const char* pbPortName, struct termios* pFound)
{
    if (!selectable(fd)) {
        return openFailure(EMFILE, pbPortName);
    }
    // Only a terminal device is a serial line; a regular file or /dev/null
    // would silently swallow the frames written to it.
    if (tcgetattr(fd, pFound) == -1) {
        return openFailure(errno, pbPortName);
    }
    // The user's own terminal: frames would land on the screen.
    if (tcgetsid(fd) != -1) {
        return "the port is the terminal Quenwick runs in";
    }
    // Another program has it, as we take it: with a lock (a program that
    // opened it exclusively has already made our open fail with EBUSY).
    if (flock(fd, LOCK_EX | LOCK_NB) == -1) {
        return openFailure(errno, pbPortName);
    }
    return "";
}

// The line's format, no parity, over a transparent channel: no line editing,
// echo, signals, flow control or translation, and a read that returns what is
// there (none of it is an end of file). False when the terminal record cannot
// carry its speed.
bool makeLineSettings(struct termios& tio, const LineFormat& line)
{
    constexpr tcflag_t DATA_BITS[] = {CS5, CS6, CS7, CS8};
    speed_t speed = 0;
    if (!PosixSerial::speedValue(line.dwBaudRate, &speed) || line.bDataBits < 5 || line.bDataBits > 8) {
        return false;
    }
    cfsetspeed(&tio, speed);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB);
    tio.c_cflag |= DATA_BITS[line.bDataBits - 5] | (line.bStopBits == 2 ? CSTOPB : 0) | CLOCAL | CREAD;
    tio.c_iflag |= IGNPAR;
    tio.c_iflag &=
        ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | INPCK | PARMRK | BRKINT);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &=
        ~static_cast<tcflag_t>(ICANON | ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOKE | ECHOPRT | ISIG | IEXTEN);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    PosixSerial::clearSystemFlags(tio);
    return true;
}

// Exact speeds by the system's own request or, where that request fails, by
// the terminal record when it can carry them. Returns 0, or -1.
int setSpeeds(int fd, uint64_t inputSpeed, uint64_t outputSpeed)
{
    if (PosixSerial::requestSpeed(fd, inputSpeed, outputSpeed) == 0) {
        return 0;
    }
    struct termios tio {};
    speed_t input = 0;
    speed_t output = 0;
    if (tcgetattr(fd, &tio) == -1 || !PosixSerial::speedValue(inputSpeed, &input) ||
        !PosixSerial::speedValue(outputSpeed, &output) || cfsetispeed(&tio, input) == -1 ||
        cfsetospeed(&tio, output) == -1) {
        return -1;
    }
    return tcsetattr(fd, TCSANOW, &tio);
}

// What open found on a device and its close puts back. The speeds are kept
// apart because on Linux the terminal record cannot carry an arbitrary speed.
struct Found {
    int fd = -1;
    struct termios tio {};
    uint64_t inputSpeed = 0;
    uint64_t outputSpeed = 0;
    bool fLatencyChanged = false;
};

// The open devices, for a stop that cannot wait for their close.
DeviceRegistry<Found> openDevices;

// Puts back the latency, the line settings and their speeds as found. The
// terminal record carries the standard speeds; a speed outside that table
// needs the speed request.
void putBack(const Found& found)
{
    if (found.fLatencyChanged) {
        PosixSerial::closeLowLatency(found.fd);
    }
    tcsetattr(found.fd, TCSANOW, &found.tio);
    uint64_t inputSpeed = 0;
    uint64_t outputSpeed = 0;
    if (found.outputSpeed != 0 && PosixSerial::currentSpeed(found.fd, &inputSpeed, &outputSpeed) == 0 &&
        (inputSpeed != found.inputSpeed || outputSpeed != found.outputSpeed)) {
        setSpeeds(found.fd, found.inputSpeed, found.outputSpeed);
    }
}

class PosixSerialDevice final : public SerialDevice {
public:
    PosixSerialDevice(int fd, const struct termios& found) : m_iComPort(fd), m_found{fd, found} {}
    ~PosixSerialDevice() override;

    uint64_t start(const LineFormat& line);
    bool write(const uint8_t* pbData, uint64_t size) override;
    bool setBreak(bool fOn) override;
    bool setDtr(bool fOn) override;
    bool setSpeed(uint64_t dwBaudRate) override;
    void flush() override;
    bool lowLatency() const override { return m_fLowLatency; }
    std::optional<uint64_t> latencyTimer() const override { return m_latencyTimer; }
    bool awaitInput() override;
    int64_t readAvailable(uint8_t* pbData, uint64_t size) override;
    void wake() override;

private:
    const int m_iComPort;
    Found m_found;
    uint64_t m_dwRegistryKey = 0;  // in openDevices
    int m_iWakeRead = -1;
    int m_iWakeWrite = -1;
    bool m_fLowLatency = false;
    std::optional<uint64_t> m_latencyTimer;
    int m_stat_org = 0;  // the modem lines when DTR was last raised
};

// Takes the device over once refusal has let it: exclusive, the line
// settings made, low latency asked for, the wake-up pipe made, the queues
// flushed. ERR_INIT, with nothing changed, for a line format the system
// cannot set.
uint64_t PosixSerialDevice::start(const LineFormat& line)
{
    struct termios tio = m_found.tio;
    if (!makeLineSettings(tio, line)) {
        return ERR_INIT;
    }
    ioctl(m_iComPort, TIOCEXCL);
    PosixSerial::sharpenTimers();  // the job's waits run on the thread that opens the port
    PosixSerial::currentSpeed(m_iComPort, &m_found.inputSpeed, &m_found.outputSpeed);
    tcsetattr(m_iComPort, TCSANOW, &tio);
    m_fLowLatency = PosixSerial::openLowLatency(m_iComPort, &m_found.fLatencyChanged);
    m_latencyTimer = PosixSerial::latencyTimer(m_iComPort);
    m_dwRegistryKey = openDevices.enlist(m_found);

    int wake[2] = {-1, -1};
    if (pipe(wake) == -1) {
        return ERR_INIT;
    }
    m_iWakeRead = wake[0];
    m_iWakeWrite = wake[1];
    if (!selectable(m_iWakeRead) || !selectable(m_iWakeWrite)) {
        return ERR_INIT;
    }
    tcflush(m_iComPort, TCIOFLUSH);
    return RESULT_OK;
}

PosixSerialDevice::~PosixSerialDevice()
{
    putBack(m_found);
    openDevices.delist(m_dwRegistryKey);
    ioctl(m_iComPort, TIOCNXCL);
    ::close(m_iComPort);  // also lets go of the lock
    for (int fd : {m_iWakeRead, m_iWakeWrite}) {
        if (fd != -1) {
            ::close(fd);
        }
    }
}

bool PosixSerialDevice::write(const uint8_t* pbData, uint64_t size)
{
    const ssize_t written = ::write(m_iComPort, pbData, size);
    return written >= 0 && static_cast<uint64_t>(written) == size;
}

bool PosixSerialDevice::setBreak(bool fOn)
{
    if (ioctl(m_iComPort, fOn ? TIOCSBRK : TIOCCBRK) == -1) {
        return false;
    }
    flush();
    return true;
}

bool PosixSerialDevice::setDtr(bool fOn)
{
    if (fOn) {
        if (ioctl(m_iComPort, TIOCMGET, &m_stat_org) == -1) {
            return false;
        }
    }
    int bits = fOn ? (m_stat_org | TIOCM_DTR) : (m_stat_org & ~TIOCM_DTR);
    return ioctl(m_iComPort, TIOCMSET, &bits) != -1;
}

bool PosixSerialDevice::setSpeed(uint64_t dwBaudRate) { return setSpeeds(m_iComPort, dwBaudRate, dwBaudRate) == 0; }

void PosixSerialDevice::flush() { tcflush(m_iComPort, TCIOFLUSH); }

bool PosixSerialDevice::awaitInput()
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(m_iWakeRead, &readable);
    FD_SET(m_iComPort, &readable);
    const int n = select(std::max(m_iComPort, m_iWakeRead) + 1, &readable, nullptr, nullptr, nullptr);
    return n != -1 || errno == EINTR;
}

int64_t PosixSerialDevice::readAvailable(uint8_t* pbData, uint64_t size)
{
    const ssize_t n = ::read(m_iComPort, pbData, size);
    if (n > 0) {
        return n;
    }
    // An end of file is a hang-up: with VMIN 1 a live line never reads as one.
    return n == -1 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 0 : -1;
}

void PosixSerialDevice::wake()
{
    const uint8_t bWake = 0;
    // One byte into an empty pipe: it neither blocks nor fails. It stays
    // there, so every later wait ends at once too.
    [[maybe_unused]] const ssize_t written = ::write(m_iWakeWrite, &bWake, 1);
}

}  // namespace

void SerialDevice::putBackAll() { openDevices.forEach(putBack); }

uint64_t SerialDevice::open(const char* pbPortName, const LineFormat& line, std::unique_ptr<SerialDevice>* ppDevice,
                            std::string* pstrWhy)
{
    const int fd = ::open(pbPortName, O_RDWR | O_NONBLOCK | O_NOCTTY);
    if (fd == -1) {
        *pstrWhy = openFailure(errno, pbPortName);
        return ERR_PORT_OPEN;
    }
    struct termios found {};
    *pstrWhy = refusal(fd, pbPortName, &found);
    if (!pstrWhy->empty()) {
        ::close(fd);
        return ERR_PORT_OPEN;
    }
    auto device = std::make_unique<PosixSerialDevice>(fd, found);
    const uint64_t r = device->start(line);
    if (r == RESULT_OK) {
        *ppDevice = std::move(device);
    }
    return r;
}
