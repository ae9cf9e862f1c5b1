// macOS's serial devices: its flow-control flags, exact speeds and receive
// latency, its call-out devices as the port list, and what it tells a user
// of an adapter's latency.
#include "Platform.h"
#include "PosixSerial.h"

#include <IOKit/serial/ioss.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace PosixSerial {

// macOS has no per-thread timer slack to set.
void sharpenTimers() {}

void clearSystemFlags(struct termios& tio)
{
    tio.c_cflag &= ~static_cast<tcflag_t>(CCTS_OFLOW | CRTS_IFLOW | CDTR_IFLOW | CDSR_OFLOW | CCAR_OFLOW);
}

// IOSSIOSPEED sets one speed for both directions. A pseudo-terminal has no
// case for it and answers ENOTTY; the terminal record then carries the speed.
int requestSpeed(int fd, uint64_t inputSpeed, uint64_t outputSpeed)
{
    (void)inputSpeed;
    speed_t value = static_cast<speed_t>(outputSpeed);
    return ioctl(fd, IOSSIOSPEED, &value);
}

int currentSpeed(int fd, uint64_t* pInputSpeed, uint64_t* pOutputSpeed)
{
    struct termios tio {};
    if (tcgetattr(fd, &tio) == -1) {
        return -1;
    }
    *pInputSpeed = cfgetispeed(&tio);
    *pOutputSpeed = cfgetospeed(&tio);
    return 0;
}

// On macOS the record holds the speed in bits per second.
bool speedValue(uint64_t bitsPerSecond, speed_t* pValue)
{
    *pValue = static_cast<speed_t>(bitsPerSecond);
    return static_cast<uint64_t>(*pValue) == bitsPerSecond;
}

// IOSSDATALAT sets the receive latency in microseconds for as long as the
// device is open; the driver has no request to read it back, so nothing is
// kept to put back.
bool openLowLatency(int fd, bool* pfChanged)
{
    *pfChanged = false;
    unsigned long microseconds = 1;
    return ioctl(fd, IOSSDATALAT, &microseconds) != -1;
}

void closeLowLatency(int) {}

// The drivers tell no latency timer through a terminal device.
std::optional<uint64_t> latencyTimer(int) { return std::nullopt; }

}  // namespace PosixSerial

// The call-out devices, /dev/cu.*, which open without waiting for a carrier.
std::vector<std::string> Platform::serialPorts()
{
    std::vector<std::string> lines;
    std::error_code ec;
    for (std::filesystem::directory_iterator it("/dev", ec); !ec && it != std::filesystem::directory_iterator();
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.starts_with("cu.")) {
            lines.push_back("/dev/" + name);
        }
    }
    std::sort(lines.begin(), lines.end(), naturalLess);
    return lines;
}

// The drivers have no setting that this program knows of.
std::string Platform::latencyRemedy(const char*, bool fLowLatency)
{
    return std::string("likely the USB serial adapter's latency timer, ") +
           (fLowLatency ? "although the driver granted low latency" : "as the driver did not grant low latency");
}
