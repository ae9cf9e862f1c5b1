// What a serial port takes from the system it runs on: its device, its clock,
// its waits and a thread to receive on. The port's own (PortSystem::ofThisMachine)
// is the system itself: SerialDevice::open, the monotonic clock and a thread
// of its own. Tests give one that plays a board from a script in a time of
// its own, so that the port's buffer, waits and receiving run under test and
// every timeout is exact.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "SerialDevice.h"

class PortSystem {
public:
    // The system the program runs on.
    static std::unique_ptr<PortSystem> ofThisMachine();

    virtual ~PortSystem() = default;

    // Opens the device as SerialDevice::open does: 0 and *ppDevice, or a code and why in *pstrWhy.
    virtual uint64_t openDevice(const char* pbPortName, const LineFormat& line, std::unique_ptr<SerialDevice>* ppDevice,
                                std::string* pstrWhy) = 0;
    // Milliseconds on a monotonic clock.
    virtual uint64_t now() = 0;
    // Waits on `changed` under lock (which it releases meanwhile) until done() holds or now() reaches dwDeadline.
    virtual void waitUntil(std::condition_variable& changed, std::unique_lock<std::mutex>& lock, uint64_t dwDeadline,
                           const std::function<bool()>& done) = 0;
    // Waits likewise until done() holds or more than dwMsec ms have passed, measured finer than now() counts.
    virtual void pause(std::condition_variable& changed, std::unique_lock<std::mutex>& lock, uint64_t dwMsec,
                       const std::function<bool()>& done) = 0;
    // Runs receiveOnce again and again, apart from the caller, until it returns false; false when that cannot start.
    virtual bool startReceiving(std::function<bool()> receiveOnce) = 0;
    // Returns once receiving has ended; the caller has made sure that receiveOnce returns false soon.
    virtual void stopReceiving() = 0;
};
