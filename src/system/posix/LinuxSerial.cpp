// Linux's serial devices: its timer slack, flow-control flag, exact speeds
// and low latency, the adapter's latency timer in sysfs, the ports that sysfs
// shows, and how to shorten an adapter's latency timer.
#include "Platform.h"
#include "PosixSerial.h"

#include "LinuxSpeed.h"
#include "SerialPortList.h"

#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace PosixSerial {

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

// The USB serial driver shows it beside the port's device, as the character
// device's number finds it: /sys/dev/char/188:0/device/latency_timer.
std::optional<uint64_t> latencyTimer(int fd)
{
    struct stat status {};
    std::vector<uint8_t> bytes;
    if (fstat(fd, &status) == -1 ||
        !Platform::readRegularFile(("/sys/dev/char/" + std::to_string(major(status.st_rdev)) + ":" +
                                    std::to_string(minor(status.st_rdev)) + "/device/latency_timer")
                                       .c_str(),
                                   16, &bytes)) {
        return std::nullopt;
    }
    const std::string strText(bytes.begin(), bytes.end());
    char* pszEnd = nullptr;
    const unsigned long value = std::strtoul(strText.c_str(), &pszEnd, 10);
    if (pszEnd == strText.c_str() || (*pszEnd != '\n' && *pszEnd != '\0')) {
        return std::nullopt;
    }
    return value;
}

}  // namespace PosixSerial

// The devices that sysfs shows, read from the root in QUENWICK_PORTS_ROOT (a
// tree that a test made) or else from /.
std::vector<std::string> Platform::serialPorts()
{
    const char* pszRoot = std::getenv("QUENWICK_PORTS_ROOT");
    return SerialPortList::fromSysfs(pszRoot != nullptr && *pszRoot != '\0' ? pszRoot : "/");
}

// The adapter's own setting, named by the port's USB serial device (ttyUSB0
// for any other).
std::string Platform::latencyRemedy(const char* pszPort, bool fLowLatency)
{
    std::error_code ec;
    const std::string strDevice = std::filesystem::canonical(pszPort, ec).filename().string();
    const std::string strSetting =
        "/sys/bus/usb-serial/devices/" +
        SerialPortList::printable(!ec && strDevice.starts_with("ttyUSB") ? strDevice : "ttyUSB0") + "/latency_timer";
    return fLowLatency ? "likely the USB serial adapter or its driver, although the driver granted low latency; an "
                         "adapter's latency timer, where it has one, is " +
                             strSetting
                       : "likely the USB serial adapter's latency timer, as the driver did not grant low latency; as "
                         "root, set it to 1 ms: echo 1 >" +
                             strSetting + " (or by a udev rule)";
}
