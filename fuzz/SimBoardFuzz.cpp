// The simulated board's side of the line under arbitrary bytes from the host:
// its frame parser, its command handling and its flash must survive anything.
// The parser must hand out only frames that are well formed, made of the very
// bytes received; the board must answer only with well-formed frames, and
// never from bytes it has not received yet.
#include "SimBoard.h"
#include "SimFrameCodec.h"
#include "SimOptions.h"
#include "FuzzCheck.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

void checkParser(const uint8_t* data, size_t size)
{
    SimFrameCodec codec;
    for (size_t i = 0; i < size; ++i) {
        const SimFrameCodec::Event event = codec.push(data[i]);
        if (event == SimFrameCodec::Event::Frame) {
            const SimFrameCodec::Frame& frame = codec.frame();
            FUZZ_CHECK(frame.raw.size() <= i + 1);
            FUZZ_CHECK(std::equal(frame.raw.begin(), frame.raw.end(), data + i + 1 - frame.raw.size()));
            FUZZ_CHECK(isWellFormedFrame(frame.raw, frame.start, frame.end));
            FUZZ_CHECK(frame.end == SimFrameCodec::ETX ||
                       (frame.end == SimFrameCodec::ETB && frame.start == SimFrameCodec::STX));
            FUZZ_CHECK(std::equal(frame.body.begin(), frame.body.end(), frame.raw.begin() + 2) &&
                       frame.body.size() == frame.raw.size() - 4);
        }
        if (event != SimFrameCodec::Event::None) {
            FUZZ_CHECK(!codec.inFrame());
        }
        if (event == SimFrameCodec::Event::BadFrame) {
            FUZZ_CHECK(!codec.error().empty());
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    checkParser(data, size);

    // A small flash keeps each run cheap; the host's line is right for the
    // mode entry, so the bytes reach the board's parser.
    SimOptions options;
    options.codeFlashEnd = 0x1FFF;
    SimBoard board(options);
    const SimLineSettings line{SimBoard::ENTRY_SPEED, 8, 'N', 2};
    const std::vector<SimReply> replies = board.receive(std::span<const uint8_t>(data, size), line);
    board.lineIdle();

    size_t after = 0;
    for (const SimReply& reply : replies) {
        FUZZ_CHECK(reply.after >= after && reply.after <= size);
        after = reply.after;
        FUZZ_CHECK(isWellFormedFrame(reply.bytes, SimFrameCodec::STX, SimFrameCodec::ETX));
    }
    FUZZ_CHECK(board.codeFlash().bytes().size() == options.codeFlashEnd + 1U);
    FUZZ_CHECK(board.dataFlash().bytes().size() == options.dataFlashSize);
    return 0;
}
