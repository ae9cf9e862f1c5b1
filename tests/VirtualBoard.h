// A board at the other end of a port, in a time of its own: the PortSystem
// of an NSSerialPortProcessor and the SerialDevice it opens, in-process and
// without threads. Time stands still while the host works and jumps ahead
// when the host waits, to the next arrival or to the host's deadline; the
// port's receive thread runs its passes there, on the waiting thread, for
// each arrival as its time comes. So the port's buffer, waits and receiving
// run as in the program, every timeout and pause is exact, and none costs
// real time.
//
// What the host does reaches the board through the hooks; what the board
// says arrives at the device at the time it gives.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "PortSystem.h"

class VirtualBoard : public PortSystem {
public:
    using Bytes = std::vector<uint8_t>;
    enum class Arrival {
        ANSWER,        // bytes that the receive thread reads as they come
        DURING_STALL,  // bytes that come while the receive thread does not run: only the host's own look finds them
        HANG_UP,       // the device hangs up: the port no longer reads
    };

    uint64_t openDevice(const char* pbPortName, const LineFormat& line, std::unique_ptr<SerialDevice>* ppDevice,
                        std::string* pstrWhy) override;
    uint64_t now() override { return m_dwNow; }
    void waitUntil(std::condition_variable& changed, std::unique_lock<std::mutex>& lock, uint64_t dwDeadline,
                   const std::function<bool()>& done) override;
    // Moves the clock on by one more than the pause, as a millisecond clock
    // shows a pause that began at the start of a millisecond.
    void pause(std::condition_variable& changed, std::unique_lock<std::mutex>& lock, uint64_t dwMsec,
               const std::function<bool()>& done) override;
    bool startReceiving(std::function<bool()> receiveOnce) override;
    void stopReceiving() override { m_receiveOnce = nullptr; }

protected:
    // The host opens the device strName at the line's format: what its Open gives.
    virtual uint64_t opened(const std::string& strName, const LineFormat& line) = 0;
    // The host writes bytes: whether all of them went.
    virtual bool wrote(const Bytes& bytes) = 0;
    // The host sets the line: "SetDtr", "ClearDtr", "SetBreak", "ClearBreak", "ChangeBaudRate 250000",
    // "ClearReceiveBuffer" (a flush) or "Close"; whether the device took it.
    virtual bool lineSet(const std::string& strEvent) = 0;
    // bytes reach the device at dwDue (arrivals keep their order).
    void arrive(uint64_t dwDue, Bytes bytes, Arrival arrival = Arrival::ANSWER);
    // What has not reached the device yet never will.
    void dropPending() { m_pending.clear(); }

private:
    class Device;
    struct Pending {
        uint64_t dwDue;
        Bytes bytes;
        Arrival arrival;
    };

    int64_t read(uint8_t* pbData, uint64_t size);
    void dropDue();
    bool due(bool fStalledToo) const;
    void receiveDue(std::unique_lock<std::mutex>& lock);

    uint64_t m_dwNow = 1000000;
    std::deque<Pending> m_pending;
    std::function<bool()> m_receiveOnce;  // the receive thread's pass, while it runs
    bool m_fReceiving = false;            // a pass of the receive thread is reading
    bool m_fHungUp = false;
};
