#include "PosixSystem.h"

#include "LinuxSpeed.h"
#include "SerialPortList.h"

#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>

#include <cstdlib>

namespace PosixSystem {

// Linux lets a thread's timed waits end up to 50 microseconds late by
// default, which the millisecond pause before every frame would pay each time.
void sharpenTimers() { prctl(PR_SET_TIMERSLACK, 1UL); }

void clearSystemFlags(struct termios& tio)
{
    // CIBAUD holds a separate input speed; cleared, the input speed follows
    // the output speed, and no earlier one survives.
    tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | CIBAUD);
}

int requestSpeed(int fd, uint64_t inputSpeed, uint64_t outputSpeed)
{
    return setLinuxLineSpeed(fd, inputSpeed, outputSpeed);
}

int currentSpeed(int fd, uint64_t* pInputSpeed, uint64_t* pOutputSpeed)
{
    return getLinuxLineSpeed(fd, pInputSpeed, pOutputSpeed);
}

bool speedValue(uint64_t bitsPerSecond, speed_t* pValue)
{
    struct Standard {
        uint64_t bitsPerSecond;
        speed_t value;
    };
    static constexpr Standard STANDARD[] = {
        {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200},
        {230400, B230400}, {460800, B460800}, {500000, B500000}, {921600, B921600}, {1000000, B1000000},
    };
    for (const Standard& standard : STANDARD) {
        if (standard.bitsPerSecond == bitsPerSecond) {
            *pValue = standard.value;
            return true;
        }
    }
    return false;
}

// USB serial adapters hold received bytes for up to their latency timer
// (16 ms by default); ASYNC_LOW_LATENCY asks the driver for its shortest one.
// A user may change this flag without privileges.
bool openLowLatency(int fd, bool* pfChanged)
{
    *pfChanged = false;
    struct serial_struct serial {};
    if (ioctl(fd, TIOCGSERIAL, &serial) == -1) {
        return false;
    }
    if ((static_cast<unsigned>(serial.flags) & ASYNC_LOW_LATENCY) != 0) {
        return true;
    }
    serial.flags |= ASYNC_LOW_LATENCY;
    if (ioctl(fd, TIOCSSERIAL, &serial) == -1) {
        return false;
    }
    *pfChanged = true;
    return true;
}

void closeLowLatency(int fd)
{
    struct serial_struct serial {};
    if (ioctl(fd, TIOCGSERIAL, &serial) == 0) {
        serial.flags &= ~ASYNC_LOW_LATENCY;
        ioctl(fd, TIOCSSERIAL, &serial);
    }
}

}  // namespace PosixSystem

// The devices that sysfs shows, read from the root in QUENWICK_PORTS_ROOT (a
// tree that a test made) or else from /.
std::vector<std::string> SerialPortList::ofThisSystem()
{
    const char* pszRoot = std::getenv("QUENWICK_PORTS_ROOT");
    return fromSysfs(pszRoot != nullptr && *pszRoot != '\0' ? pszRoot : "/");
}
