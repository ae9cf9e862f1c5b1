// The serial device through which the host talks to the target: line
// settings, writes, break and DTR, speed changes, and a receive thread that
// collects incoming bytes into a bounded buffer under one lock.
//
// The operations the programming sequence calls are virtual so that tests can
// stand in a port that plays the board from a script.
#pragma once

#include <termios.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

class NSSerialPortProcessor {
public:
    static constexpr uint64_t RECEIVE_BUFFER_SIZE = 1024;
    static constexpr uint64_t RECEIVE_CHUNK_SIZE = 512;

    NSSerialPortProcessor();
    NSSerialPortProcessor(const NSSerialPortProcessor&) = delete;
    NSSerialPortProcessor& operator=(const NSSerialPortProcessor&) = delete;
    // Calls Close.
    virtual ~NSSerialPortProcessor();

    virtual uint64_t Open(const char* pbPortName);
    virtual void Close();
    virtual uint64_t SendData(const uint8_t* pbData, uint64_t writeBytes);
    virtual uint64_t SetBreak();
    virtual uint64_t ClearBreak();
    virtual uint64_t SetDtr();
    virtual uint64_t ClearDtr();
    virtual uint64_t ChangeBaudRate(uint64_t dwBaudRate);
    virtual void ClearReceiveBuffer();

    virtual uint64_t GetReceiveDataLength();
    // Peeks at the first two buffered bytes; nothing is removed.
    virtual uint64_t CheckDataFrame(uint8_t* pbFirst, uint64_t* len);
    // Takes exactly readLength bytes, or nothing when fewer are buffered.
    virtual uint64_t GetReceivedData(uint8_t* pbData, uint64_t bufferSize, uint64_t readLength);
    virtual bool IsReading();

    // Appends a chunk whole, or refuses it with ERR_BUFFER_OVERFLOW when the
    // buffer would hold more than 1023 bytes.
    uint64_t setReadData(const uint8_t* pbData, uint64_t readSize);
    void clearReadData();
    void setRecvLoopFlag(bool flag);

private:
    void receiveData();

    struct termios m_termios {};
    int32_t m_iComPort = -1;
    std::unique_ptr<uint8_t[]> m_lpbReceivedData;
    uint64_t m_dwReceivedDataLength = 0;
    std::atomic<bool> m_isRecvLoop{false};
    std::atomic<bool> m_isRecvThreadLive{false};
    std::mutex m_mylock;
    uint32_t m_stat_org = 0;
};
