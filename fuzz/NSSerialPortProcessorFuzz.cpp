// The receive buffer of NSSerialPortProcessor under any sequence of appends,
// peeks, takes and clears, of any size, checked against a plain model: the
// count never exceeds 1023, an append that does not fit changes nothing, and a
// take hands out exactly the bytes appended, in order.
//
// The buffer exists only while the port is open, so the port opens the slave
// end of a pseudo-terminal once per process; its receive thread is then
// stopped, so that the input alone drives the buffer.
#include "NSSerialPortProcessor.h"

#include "ResultCodes.h"
#include "FuzzCheck.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <thread>
#include <vector>

namespace {

constexpr uint64_t LIMIT = NSSerialPortProcessor::RECEIVE_BUFFER_SIZE - 1;

// An open port whose receive thread has started and then been told to stop.
NSSerialPortProcessor& openPort()
{
    static NSSerialPortProcessor port;
    static bool opened = [] {
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master == -1 || grantpt(master) != 0 || unlockpt(master) != 0 || port.Open(ptsname(master)) != RESULT_OK) {
            return false;
        }
        while (!port.IsReading()) {
            std::this_thread::yield();
        }
        port.setRecvLoopFlag(false);
        return true;  // the master stays open (and silent) for the life of the process
    }();
    FUZZ_CHECK(opened);
    return port;
}

// Reads the input front to back; past its end every value is 0.
class Input {
public:
    Input(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    bool more() const { return m_pos < m_size; }
    uint8_t byte() { return more() ? m_data[m_pos++] : 0; }
    // A size up to a little more than the buffer holds.
    uint64_t size() { return (byte() | static_cast<uint64_t>(byte()) << 8) % (LIMIT + 64); }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    NSSerialPortProcessor& port = openPort();
    port.clearReadData();
    std::deque<uint8_t> model;
    uint8_t next = 0;  // appended bytes count up, so that a misplaced one shows

    Input in(data, size);
    while (in.more()) {
        switch (in.byte() % 4) {
        case 0: {  // append
            std::vector<uint8_t> chunk(in.size());
            for (uint8_t& b : chunk) {
                b = next++;
            }
            const uint64_t result = port.setReadData(chunk.data(), chunk.size());
            if (model.size() + chunk.size() > LIMIT) {
                FUZZ_CHECK(result == ERR_BUFFER_OVERFLOW);
            } else {
                FUZZ_CHECK(result == RESULT_OK);
                model.insert(model.end(), chunk.begin(), chunk.end());
            }
            break;
        }
        case 1: {  // take, into a destination of its own capacity
            const uint64_t readLength = in.size();
            std::vector<uint8_t> destination(in.size());
            const uint64_t taken = port.GetReceivedData(destination.data(), destination.size(), readLength);
            if (readLength > model.size() || readLength > destination.size()) {
                FUZZ_CHECK(taken == 0);
            } else {
                FUZZ_CHECK(taken == readLength);
                FUZZ_CHECK(
                    std::equal(destination.begin(), destination.begin() + static_cast<long>(taken), model.begin()));
                model.erase(model.begin(), model.begin() + static_cast<long>(taken));
            }
            break;
        }
        case 2: {  // peek, into a destination of its own capacity
            std::vector<uint8_t> destination(in.size());
            const uint64_t peeked = port.PeekReceivedData(destination.data(), destination.size());
            FUZZ_CHECK(peeked == std::min<uint64_t>(destination.size(), model.size()));
            FUZZ_CHECK(std::equal(destination.begin(), destination.begin() + static_cast<long>(peeked), model.begin()));
            break;
        }
        default:  // clear
            port.clearReadData();
            model.clear();
            break;
        }
        const uint64_t count = port.GetReceiveDataLength();
        FUZZ_CHECK(count <= LIMIT && count == model.size());
    }
    return 0;
}
