// The receive buffer of NSSerialPortProcessor under any sequence of
// arrivals, peeks, takes and clears, of any size, checked against a plain
// model: the count never exceeds 1023, a chunk read from the device that does
// not fit is dropped whole, and a take hands out exactly the bytes that
// arrived, in order.
//
// The port is opened once per process on a board of a time of its own
// (tests/VirtualBoard.h); each chunk reaches its device and the port takes it
// in, as after a stall, in one read.
#include "NSSerialPortProcessor.h"

#include "ResultCodes.h"
#include "VirtualBoard.h"
#include "FuzzCheck.h"

#include <algorithm>
#include <deque>
#include <vector>

namespace {

constexpr uint64_t LIMIT = NSSerialPortProcessor::RECEIVE_BUFFER_SIZE - 1;

// A board that says what it is given.
class Board : public VirtualBoard {
public:
    // The chunk reaches the device now.
    void give(Bytes chunk) { arrive(now(), std::move(chunk)); }

protected:
    uint64_t opened(const std::string&, const LineFormat&) override { return RESULT_OK; }
    bool wrote(const Bytes&) override { return true; }
    bool lineSet(const std::string&) override { return true; }
};

// The port, opened once per process, and its board, which it owns.
struct Line {
    Board* pBoard = new Board;
    NSSerialPortProcessor port{std::unique_ptr<Board>(pBoard)};
    bool fOpened = port.Open("board", {.dwBaudRate = 115200, .bDataBits = 8, .bStopBits = 2}) == RESULT_OK;
};

Line& line()
{
    static Line line;
    FUZZ_CHECK(line.fOpened);
    return line;
}

// The input, read as sizes too.
class PortInput : public Input {
public:
    using Input::Input;
    // A size up to a little more than the buffer holds.
    uint64_t size() { return (byte() | static_cast<uint64_t>(byte()) << 8) % (LIMIT + 64); }
    // A chunk's size: at most what one read of the device takes.
    uint64_t chunkSize() { return size() % (NSSerialPortProcessor::RECEIVE_CHUNK_SIZE + 1); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    NSSerialPortProcessor& port = line().port;
    port.ClearReceiveBuffer();
    std::deque<uint8_t> model;
    uint8_t next = 0;  // appended bytes count up, so that a misplaced one shows

    PortInput in(data, size);
    while (in.more()) {
        switch (in.byte() % 4) {
        case 0: {  // a chunk arrives
            std::vector<uint8_t> chunk(in.chunkSize());
            for (uint8_t& b : chunk) {
                b = next++;
            }
            if (model.size() + chunk.size() <= LIMIT) {
                model.insert(model.end(), chunk.begin(), chunk.end());
            }
            line().pBoard->give(std::move(chunk));
            port.TakeInPending();
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
            port.ClearReceiveBuffer();
            model.clear();
            break;
        }
        const uint64_t count = port.GetReceiveDataLength();
        FUZZ_CHECK(count <= LIMIT && count == model.size());
    }
    return 0;
}
