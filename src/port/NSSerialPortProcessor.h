// The serial device through which the host talks to the target: line
// settings, writes, break and DTR, speed changes, and a receive thread that
// collects incoming bytes into a bounded buffer under one lock.
//
// Nothing here spins. The receive thread sleeps in the device until it has
// bytes or Close wakes it; the job's waits sleep on a condition variable that
// the receive thread signals when bytes arrive, until a deadline on the port's
// millisecond clock. The device, the clock, the waits and the thread come from
// the port's PortSystem: the machine's own, or in tests a board played from a
// script in a time of its own.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "PortSystem.h"

class SerialDevice;

class NSSerialPortProcessor {
public:
    static constexpr uint64_t RECEIVE_BUFFER_SIZE = 1024;
    static constexpr uint64_t RECEIVE_CHUNK_SIZE = 512;

    // A port on this machine's serial devices.
    NSSerialPortProcessor();
    // A port on the given system (tests give a board played from a script).
    explicit NSSerialPortProcessor(std::unique_ptr<PortSystem> pSystem);
    NSSerialPortProcessor(const NSSerialPortProcessor&) = delete;
    NSSerialPortProcessor& operator=(const NSSerialPortProcessor&) = delete;
    // Calls Close.
    ~NSSerialPortProcessor();

    // Opens the device at the line's format as SerialDevice::open does and
    // returns once the receive thread runs: 0, or a code with the reason in
    // OpenFailure().
    uint64_t Open(const char* pbPortName, const LineFormat& line);
    // Why the last Open failed with ERR_PORT_OPEN, in words; "" otherwise.
    const std::string& OpenFailure() const { return m_strOpenFailure; }
    // Stops the receive thread, puts back the line settings Open found and
    // closes the device.
    void Close();
    // Writes the bytes: 0, or ERR_SEND when not all of them were handed to the driver.
    uint64_t SendData(const uint8_t* pbData, uint64_t writeBytes);
    // Starts a break (flushing both queues): 0 or ERR_SEND.
    uint64_t SetBreak();
    // Ends the break (flushing both queues): 0 or ERR_SEND.
    uint64_t ClearBreak();
    // Raises DTR: 0 or ERR_SEND.
    uint64_t SetDtr();
    // Drops DTR: 0 or ERR_SEND.
    uint64_t ClearDtr();
    // Sets the line to dwBaudRate bits per second: 0 or ERR_BAUD_RATE.
    uint64_t ChangeBaudRate(uint64_t dwBaudRate);
    // Drops what the device's queues and the receive buffer hold.
    void ClearReceiveBuffer();

    // The count of bytes in the receive buffer.
    uint64_t GetReceiveDataLength();
    // Copies up to bufferSize bytes from the front of the buffer, nothing
    // removed; returns how many it copied.
    uint64_t PeekReceivedData(uint8_t* pbData, uint64_t bufferSize);
    // Takes exactly readLength bytes, or nothing when fewer are buffered; returns the count taken.
    uint64_t GetReceivedData(uint8_t* pbData, uint64_t bufferSize, uint64_t readLength);
    // True from Open until Close, unless the device hung up or failed, or the
    // port was interrupted: then no byte can arrive any more.
    bool IsReading();
    // True once the device has hung up, was unplugged or failed to read.
    bool IsDeviceGone();
    // Whether the driver granted its lowest receive latency at Open.
    bool IsLowLatency();
    // The USB serial adapter's latency timer in milliseconds, where the system tells it.
    std::optional<uint64_t> LatencyTimer();

    // The clock of every wait: milliseconds on a monotonic clock.
    uint64_t Now();
    // Sleeps until the buffer no longer holds dwKnownLength bytes, the port
    // stops reading, or Now() reaches dwDeadline.
    void WaitReceived(uint64_t dwKnownLength, uint64_t dwDeadline);
    // Sleeps for more than dwMsec milliseconds, measured finer than Now()
    // counts, so that a pause of 1 ms does not grow to 2 by rounding.
    void Pause(uint64_t dwMsec);
    // Moves whatever the device already holds into the buffer at once, for
    // when the receive thread may not have run for a while.
    void TakeInPending();
    // From any thread: ends the waits under way and makes every later one end
    // at once, as if the device had hung up, for the rest of the port's life.
    void Interrupt();

private:
    uint64_t makeReceiveBuffer();
    uint64_t setReadData(const uint8_t* pbData, uint64_t readSize);
    void clearReadData();
    void setRecvLoopFlag(bool flag);
    bool receiveData();
    int64_t readDevice();

    std::unique_ptr<PortSystem> m_pSystem;
    std::unique_ptr<SerialDevice> m_device;
    std::string m_strOpenFailure;
    std::unique_ptr<uint8_t[]> m_lpbReceivedData;
    uint64_t m_dwReceivedDataLength = 0;
    std::atomic<bool> m_isRecvLoop{false};
    std::atomic<bool> m_isRecvStop{false};
    std::atomic<bool> m_isInterrupted{false};
    std::atomic<bool> m_isDeviceGone{false};
    bool m_isReceiving = false;  // the receive thread was started and not yet stopped
    std::mutex m_mylock;
    std::condition_variable m_received;  // under m_mylock: bytes arrived or reading ended
    std::mutex m_readLock;               // one reader of the device at a time, so chunks keep their order
};
