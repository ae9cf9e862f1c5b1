#include "NSSerialPortProcessor.h"

#include "ResultCodes.h"
#include "SerialDevice.h"

#include <algorithm>
#include <array>
#include <new>
#include <utility>

namespace {

// One byte of the array is never used: the buffer holds at most 1023 bytes.
constexpr uint64_t RECEIVE_LIMIT = NSSerialPortProcessor::RECEIVE_BUFFER_SIZE - 1;

}  // namespace

NSSerialPortProcessor::NSSerialPortProcessor() : NSSerialPortProcessor(PortSystem::ofThisMachine()) {}

NSSerialPortProcessor::NSSerialPortProcessor(std::unique_ptr<PortSystem> pSystem) : m_pSystem(std::move(pSystem)) {}

NSSerialPortProcessor::~NSSerialPortProcessor() { Close(); }

uint64_t NSSerialPortProcessor::Open(const char* pbPortName, const LineFormat& line)
{
    // A second Open without Close would free the buffer under a running thread.
    Close();

    m_strOpenFailure.clear();
    uint64_t r = makeReceiveBuffer();
    if (r == RESULT_OK) {
        r = m_pSystem->openDevice(pbPortName, line, &m_device, &m_strOpenFailure);
    }
    if (r != RESULT_OK) {
        return r;
    }

    // The device has just been flushed: what comes from now on waits in it
    // until the thread reads it, so nothing is lost while the thread starts.
    m_isDeviceGone.store(false);
    setRecvLoopFlag(true);
    m_isRecvStop.store(false);
    m_isReceiving = m_pSystem->startReceiving([this] { return receiveData(); });
    if (!m_isReceiving) {
        setRecvLoopFlag(false);
        m_device.reset();
        return ERR_INIT;
    }
    return RESULT_OK;
}

uint64_t NSSerialPortProcessor::makeReceiveBuffer()
{
    m_lpbReceivedData.reset(new (std::nothrow) uint8_t[RECEIVE_BUFFER_SIZE]());
    m_dwReceivedDataLength = 0;
    return m_lpbReceivedData ? RESULT_OK : ERR_INIT;
}

void NSSerialPortProcessor::Close()
{
    if (m_isReceiving) {
        m_isRecvStop.store(true);
        m_device->wake();
        m_pSystem->stopReceiving();
        m_isReceiving = false;
    }
    setRecvLoopFlag(false);
    m_device.reset();  // puts back what Open found
    m_lpbReceivedData.reset();
    m_dwReceivedDataLength = 0;
}

uint64_t NSSerialPortProcessor::SendData(const uint8_t* pbData, uint64_t writeBytes)
{
    return m_device && m_device->write(pbData, writeBytes) ? RESULT_OK : ERR_SEND;
}

uint64_t NSSerialPortProcessor::SetBreak() { return m_device && m_device->setBreak(true) ? RESULT_OK : ERR_SEND; }

uint64_t NSSerialPortProcessor::ClearBreak() { return m_device && m_device->setBreak(false) ? RESULT_OK : ERR_SEND; }

uint64_t NSSerialPortProcessor::SetDtr() { return m_device && m_device->setDtr(true) ? RESULT_OK : ERR_SEND; }

uint64_t NSSerialPortProcessor::ClearDtr() { return m_device && m_device->setDtr(false) ? RESULT_OK : ERR_SEND; }

uint64_t NSSerialPortProcessor::ChangeBaudRate(uint64_t dwBaudRate)
{
    return m_device && m_device->setSpeed(dwBaudRate) ? RESULT_OK : ERR_BAUD_RATE;
}

void NSSerialPortProcessor::ClearReceiveBuffer()
{
    if (m_device) {
        m_device->flush();
    }
    clearReadData();
}

uint64_t NSSerialPortProcessor::GetReceiveDataLength()
{
    std::lock_guard<std::mutex> lock(m_mylock);
    return m_dwReceivedDataLength;
}

uint64_t NSSerialPortProcessor::PeekReceivedData(uint8_t* pbData, uint64_t bufferSize)
{
    std::lock_guard<std::mutex> lock(m_mylock);
    const uint64_t dwCount = std::min(bufferSize, m_dwReceivedDataLength);
    std::copy_n(m_lpbReceivedData.get(), dwCount, pbData);
    return dwCount;
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

bool NSSerialPortProcessor::IsReading() { return m_isRecvLoop.load() && !m_isInterrupted.load(); }

bool NSSerialPortProcessor::IsDeviceGone() { return m_isDeviceGone.load(); }

bool NSSerialPortProcessor::IsLowLatency() { return m_device && m_device->lowLatency(); }

std::optional<uint64_t> NSSerialPortProcessor::LatencyTimer()
{
    return m_device ? m_device->latencyTimer() : std::nullopt;
}

uint64_t NSSerialPortProcessor::Now() { return m_pSystem->now(); }

void NSSerialPortProcessor::WaitReceived(uint64_t dwKnownLength, uint64_t dwDeadline)
{
    std::unique_lock<std::mutex> lock(m_mylock);
    m_pSystem->waitUntil(m_received, lock, dwDeadline, [&] {
        return m_dwReceivedDataLength != dwKnownLength || !m_isRecvLoop.load() || m_isInterrupted.load();
    });
}

void NSSerialPortProcessor::Pause(uint64_t dwMsec)
{
    // Only Interrupt ends it early.
    std::unique_lock<std::mutex> lock(m_mylock);
    m_pSystem->pause(m_received, lock, dwMsec, [this] { return m_isInterrupted.load(); });
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
        if (readDevice() <= 0) {
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

// Reads one chunk of what the device holds into the buffer: the count of
// bytes read, 0 when there were none, -1 when the device has gone away.
int64_t NSSerialPortProcessor::readDevice()
{
    std::array<uint8_t, RECEIVE_CHUNK_SIZE> chunk{};
    std::lock_guard<std::mutex> reading(m_readLock);
    const int64_t n = m_device->readAvailable(chunk.data(), chunk.size());
    if (n > 0) {
        // A chunk that does not fit is dropped whole.
        setReadData(chunk.data(), static_cast<uint64_t>(n));
    }
    return n;
}

// One pass of the receive thread: sleeps until the device has bytes (or has
// gone away) or Close wakes it, and reads what it holds; false when the
// thread is to end. Once the device has gone away the thread ends: the port
// no longer reads, and a waiting job learns it at once.
bool NSSerialPortProcessor::receiveData()
{
    const bool fWaited = m_device->awaitInput();
    if (m_isRecvStop.load()) {
        return false;
    }
    if (!fWaited || readDevice() < 0) {
        m_isDeviceGone.store(true);
        setRecvLoopFlag(false);
        return false;
    }
    return true;
}
