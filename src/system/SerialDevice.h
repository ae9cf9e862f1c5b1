// The serial device itself, as one family of systems has it: opening it for
// this program alone, the line settings and what is put back, the modem line,
// break, speed, flushes, the driver's receive latency, writes, and reads that
// another thread can wake. The port keeps everything that is the same on every
// system (its buffer, waits, clock and receive thread) and reaches the device
// only through this. One implementation per family of systems: POSIX (Linux,
// macOS) and Win32.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

// A line's speed and character format; never a parity bit.
struct LineFormat {
    uint64_t dwBaudRate;  // bits per second
    uint8_t bDataBits;    // 5 to 8
    uint8_t bStopBits;    // 1 or 2
};

class SerialDevice {
public:
    // Opens pbPortName for this program alone and makes it a transparent
    // line of the given format: no line editing, echo, signals, translation
    // or flow control of any kind. Asks the driver for its lowest receive
    // latency (a driver that refuses is used as it is) and flushes both
    // queues. A device that is no serial line, the process's own controlling
    // terminal, or one that another program holds is refused with
    // ERR_PORT_OPEN before anything is changed on it, and *pstrWhy then says
    // why from the system's answer ("the port does not exist"); ERR_INIT when
    // the system lacks what the device needs. *ppDevice is written only on
    // success.
    static uint64_t open(const char* pbPortName, const LineFormat& line, std::unique_ptr<SerialDevice>* ppDevice,
                         std::string* pstrWhy);

    // From the watcher of stop requests, as the process ends at once: puts
    // back on every open device what its close would (line settings, speeds,
    // latency); the devices stay open.
    static void putBackAll();

    SerialDevice() = default;
    SerialDevice(const SerialDevice&) = delete;
    SerialDevice& operator=(const SerialDevice&) = delete;
    // Puts back the line settings and the latency that open found, then closes.
    virtual ~SerialDevice() = default;

    // True when every byte was handed to the driver.
    virtual bool write(const uint8_t* pbData, uint64_t size) = 0;
    // Starts or ends a break; when that succeeds, flushes both queues.
    virtual bool setBreak(bool fOn) = 0;
    // Raises or drops DTR, leaving the other modem lines as they were.
    virtual bool setDtr(bool fOn) = 0;
    // Sets both directions to exactly dwBaudRate bits per second; false when
    // the driver did not take that speed.
    virtual bool setSpeed(uint64_t dwBaudRate) = 0;
    // Drops what both queues hold.
    virtual void flush() = 0;
    // Whether the driver granted its lowest receive latency at open.
    virtual bool lowLatency() const = 0;
    // The USB serial adapter's latency timer in milliseconds as the system
    // tells it once open has asked for low latency; none where it tells none.
    virtual std::optional<uint64_t> latencyTimer() const = 0;

    // Sleeps until the device has bytes to read, has gone away, or wake() is
    // called. Returns false when the device can no longer be waited on.
    virtual bool awaitInput() = 0;
    // Reads what the device holds now, without waiting: the count of bytes,
    // 0 when it holds none, -1 when it has gone away (hang-up, unplug, read
    // error).
    virtual int64_t readAvailable(uint8_t* pbData, uint64_t size) = 0;
    // From any thread: makes the awaitInput under way, and every later one,
    // return at once.
    virtual void wake() = 0;
};
