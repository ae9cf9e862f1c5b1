#include "PortSystem.h"

#include <chrono>
#include <system_error>
#include <thread>
#include <utility>

#include "NSGetTime.h"
#include "SerialDevice.h"
#include "Platform.h"

namespace {

// This machine: its serial devices, its monotonic clock, waits on the steady
// clock, and a thread of its own for receiving.
class ThisMachine : public PortSystem {
public:
    ~ThisMachine() override { stopReceiving(); }

    uint64_t openDevice(const char* pbPortName, const LineFormat& line, std::unique_ptr<SerialDevice>* ppDevice,
                        std::string* pstrWhy) override
    {
        return SerialDevice::open(pbPortName, line, ppDevice, pstrWhy);
    }

    uint64_t now() override { return NSGetTime::getTimeOfDay_msec(); }

    void waitUntil(std::condition_variable& changed, std::unique_lock<std::mutex>& lock, uint64_t dwDeadline,
                   const std::function<bool()>& done) override
    {
        for (uint64_t dwNow = now(); dwNow < dwDeadline; dwNow = now()) {
            const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(dwDeadline - dwNow);
            if (Platform::waitUntil(changed, lock, end, done)) {
                return;
            }
        }
    }

    void pause(std::condition_variable& changed, std::unique_lock<std::mutex>& lock, uint64_t dwMsec,
               const std::function<bool()>& done) override
    {
        // On the steady clock, finer than milliseconds.
        const auto end =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(dwMsec) + std::chrono::microseconds(1);
        Platform::waitUntil(changed, lock, end, done);
    }

    bool startReceiving(std::function<bool()> receiveOnce) override
    {
        try {
            m_thread = std::thread([receiveOnce = std::move(receiveOnce)] {
                while (receiveOnce()) {
                }
            });
        } catch (const std::system_error&) {
            return false;
        }
        return true;
    }

    void stopReceiving() override
    {
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }

private:
    std::thread m_thread;
};

}  // namespace

std::unique_ptr<PortSystem> PortSystem::ofThisMachine() { return std::make_unique<ThisMachine>(); }
