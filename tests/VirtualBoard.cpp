#include "VirtualBoard.h"

#include <algorithm>

#include "ResultCodes.h"
#include "SerialDevice.h"

// The device the port opens: each host call goes to the board's hooks, and
// reads take what has arrived.
class VirtualBoard::Device : public SerialDevice {
public:
    explicit Device(VirtualBoard& board) : m_board(board) {}
    ~Device() override { m_board.lineSet("Close"); }

    bool write(const uint8_t* pbData, uint64_t size) override { return m_board.wrote(Bytes(pbData, pbData + size)); }
    bool setBreak(bool fOn) override { return m_board.lineSet(fOn ? "SetBreak" : "ClearBreak"); }
    bool setDtr(bool fOn) override { return m_board.lineSet(fOn ? "SetDtr" : "ClearDtr"); }
    bool setSpeed(uint64_t dwBaudRate) override
    {
        return m_board.lineSet("ChangeBaudRate " + std::to_string(dwBaudRate));
    }
    void flush() override
    {
        m_board.lineSet("ClearReceiveBuffer");
        m_board.dropDue();
    }
    bool lowLatency() const override { return false; }
    std::optional<uint64_t> latencyTimer() const override { return std::nullopt; }
    // Only a pass of the receive thread asks, and only once something is due.
    bool awaitInput() override { return true; }
    int64_t readAvailable(uint8_t* pbData, uint64_t size) override { return m_board.read(pbData, size); }
    void wake() override {}

private:
    VirtualBoard& m_board;
};

uint64_t VirtualBoard::openDevice(const char* pbPortName, const LineFormat& line,
                                  std::unique_ptr<SerialDevice>* ppDevice, std::string*)
{
    const uint64_t r = opened(pbPortName, line);
    if (r == RESULT_OK) {
        *ppDevice = std::make_unique<Device>(*this);
    }
    return r;
}

void VirtualBoard::arrive(uint64_t dwDue, Bytes bytes, Arrival arrival)
{
    m_pending.push_back(Pending{dwDue, std::move(bytes), arrival});
}

bool VirtualBoard::startReceiving(std::function<bool()> receiveOnce)
{
    m_receiveOnce = std::move(receiveOnce);
    return true;
}

// What has arrived by now, in order, up to a hang-up; what came during a
// stall only for the host's own look, not for the receive thread.
int64_t VirtualBoard::read(uint8_t* pbData, uint64_t size)
{
    uint64_t dwCount = 0;
    while (!m_fHungUp && dwCount < size && due(!m_fReceiving)) {
        Pending& front = m_pending.front();
        if (front.arrival == Arrival::HANG_UP) {
            if (dwCount != 0) {
                break;
            }
            m_fHungUp = true;
            m_pending.pop_front();
            break;
        }
        const uint64_t dwTaken = std::min<uint64_t>(front.bytes.size(), size - dwCount);
        std::copy_n(front.bytes.begin(), dwTaken, pbData + dwCount);
        front.bytes.erase(front.bytes.begin(), front.bytes.begin() + static_cast<std::ptrdiff_t>(dwTaken));
        dwCount += dwTaken;
        if (front.bytes.empty()) {
            m_pending.pop_front();
        }
    }
    return m_fHungUp && dwCount == 0 ? -1 : static_cast<int64_t>(dwCount);
}

void VirtualBoard::dropDue()
{
    while (due(true) && m_pending.front().arrival != Arrival::HANG_UP) {
        m_pending.pop_front();
    }
}

bool VirtualBoard::due(bool fStalledToo) const
{
    return !m_pending.empty() && m_pending.front().dwDue <= m_dwNow &&
           (fStalledToo || m_pending.front().arrival != Arrival::DURING_STALL);
}

// The receive thread's passes for what has arrived by now.
void VirtualBoard::receiveDue(std::unique_lock<std::mutex>& lock)
{
    lock.unlock();
    m_fReceiving = true;
    while (m_receiveOnce && (m_fHungUp || due(false))) {
        if (!m_receiveOnce()) {
            m_receiveOnce = nullptr;
        }
    }
    m_fReceiving = false;
    lock.lock();
}

// A stalled host sleeps through what arrives; otherwise the next arrival wakes it.
void VirtualBoard::waitUntil(std::condition_variable&, std::unique_lock<std::mutex>& lock, uint64_t dwDeadline,
                             const std::function<bool()>& done)
{
    receiveDue(lock);
    while (!done() && m_dwNow < dwDeadline) {
        const bool fWakes = m_receiveOnce && !m_pending.empty() && m_pending.front().arrival != Arrival::DURING_STALL;
        m_dwNow = std::max(m_dwNow, fWakes ? std::min(dwDeadline, m_pending.front().dwDue) : dwDeadline);
        receiveDue(lock);
    }
}

void VirtualBoard::pause(std::condition_variable&, std::unique_lock<std::mutex>& lock, uint64_t dwMsec,
                         const std::function<bool()>&)
{
    m_dwNow += dwMsec + 1;
    receiveDue(lock);
}
