// Every checker of NSCommandProcessor over an arbitrary receive buffer, and
// every builder with arbitrary parameters. A checker that accepts a frame must
// have seen a well-formed frame of its length; one that refuses it must leave
// its out parameters alone. A built frame must be well formed and parse back.
#include "NSCommandProcessor.h"

#include "ResultCodes.h"
#include "FuzzCheck.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint64_t FRAME_SIZE = NSCommandProcessor::FRAME_BUFFER_SIZE;

// Runs a checker with out parameters preset to a pattern. Accepted: the frame
// in the receive buffer has the checker's data length. Refused: a frame or sum
// error, and every out byte still holds the pattern.
template <class Checker>
uint64_t check(NSCommandProcessor& cmd, uint64_t dataLength, Checker checker)
{
    std::array<std::array<uint8_t, 11>, 5> outs{};
    for (auto& out : outs) {
        out.fill(0xA5);
    }
    const uint64_t result = checker(outs);
    if (result == RESULT_OK) {
        FUZZ_CHECK(isWellFormedFrame({cmd.GetDataFrames(), dataLength + 4}, 0x02, 0x03));
    } else {
        FUZZ_CHECK(result == ERR_FRAME_FORMAT || result == ERR_SUM);
        for (const auto& out : outs) {
            FUZZ_CHECK(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == 0xA5; }));
        }
    }
    return result;
}

// Every checker on the frame now in the receive buffer; returns how many accepted it.
int checkAll(NSCommandProcessor& cmd)
{
    using Outs = std::array<std::array<uint8_t, 11>, 5>;
    const uint64_t results[] = {
        check(cmd, 1, [&](Outs& o) { return cmd.checkStatus(o[0].data()); }),
        check(cmd, 1, [&](Outs& o) { return cmd.CheckStatus(o[0].data()); }),
        check(cmd, 1, [&](Outs& o) { return cmd.CheckResetStatus(o[0].data()); }),
        check(cmd, 1, [&](Outs& o) { return cmd.CheckBlockBlankCheckStatus(o[0].data()); }),
        check(cmd, 1, [&](Outs& o) { return cmd.CheckProgrammingStatus(o[0].data()); }),
        check(cmd, 1, [&](Outs& o) { return cmd.CheckProgrammingDataFrameStatus(o[0].data()); }),
        check(cmd, 1, [&](Outs& o) { return cmd.CheckVerifyStatus(o[0].data()); }),
        check(cmd, 2, [&](Outs& o) { return cmd.checkDataFrame(o[0].data(), o[1].data()); }),
        check(cmd, 2, [&](Outs& o) { return cmd.CheckProgrammingDataFrameStatus(o[0].data(), o[1].data()); }),
        check(cmd, 2, [&](Outs& o) { return cmd.CheckChecksumDataFrams(o[0].data(), o[1].data()); }),
        check(cmd, 3, [&](Outs& o) { return cmd.CheckBaudRateStatus(o[0].data(), o[1].data(), o[2].data()); }),
        check(cmd, 22,
              [&](Outs& o) {
                  return cmd.CheckSiliconSignatureDataFrames(o[0].data(), o[1].data(), o[2].data(), o[3].data(),
                                                             o[4].data());
              }),
    };
    return static_cast<int>(std::count(std::begin(results), std::end(results), RESULT_OK));
}

// A built frame: its length fits the buffer, it is well formed, and the rest of
// the transmit buffer is zero. A refused build leaves length 0 and zeros.
void checkBuilt(NSCommandProcessor& cmd, uint64_t result, uint64_t length, uint8_t bStart, uint8_t bEnd)
{
    const uint8_t* pbFrame = cmd.GetCommandFrames();
    if (result != RESULT_OK) {
        FUZZ_CHECK(result == ERR_PARAMETER && length == 0);
        FUZZ_CHECK(std::all_of(pbFrame, pbFrame + FRAME_SIZE, [](uint8_t b) { return b == 0; }));
        return;
    }
    FUZZ_CHECK(length >= 5 && length <= FRAME_SIZE);
    FUZZ_CHECK(isWellFormedFrame({pbFrame, length}, bStart, bEnd));
    FUZZ_CHECK(std::all_of(pbFrame + length, pbFrame + FRAME_SIZE, [](uint8_t b) { return b == 0; }));
}

uint8_t byteAt(const uint8_t* data, size_t size, size_t index) { return index < size ? data[index] : 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static NSCommandProcessor cmd;
    static const bool initialized = cmd.Initialize() == RESULT_OK;
    FUZZ_CHECK(initialized);

    // The input as a received frame; the rest of the buffer is zero.
    uint8_t* pbReceived = cmd.GetDataFrames();
    std::memset(pbReceived, 0, FRAME_SIZE);
    std::memcpy(pbReceived, data, std::min<size_t>(size, FRAME_SIZE));
    checkAll(cmd);

    // The builders, with parameters taken from the input.
    auto b = [&](size_t i) { return byteAt(data, size, i); };
    uint64_t length = 99;
    checkBuilt(cmd, cmd.MakeResetCommand(&length), length, 0x01, 0x03);
    checkBuilt(cmd, cmd.MakeSiliconSignatureCommand(&length), length, 0x01, 0x03);
    checkBuilt(cmd, cmd.MakeBaudRateCommand(b(0), b(1), &length), length, 0x01, 0x03);
    FUZZ_CHECK((length != 0) == (b(0) <= 3));
    checkBuilt(cmd, cmd.MakeBlockEraseCommand(b(0), b(1), b(2), &length), length, 0x01, 0x03);
    checkBuilt(cmd, cmd.MakeBlockBlankCheckCommand(b(0), b(1), b(2), b(3), b(4), b(5), b(6), &length), length, 0x01,
               0x03);
    checkBuilt(cmd, cmd.MakeProgrammingCommand(b(0), b(1), b(2), b(3), b(4), b(5), &length), length, 0x01, 0x03);
    checkBuilt(cmd, cmd.MakeChecksumCommand(b(0), b(1), b(2), b(3), b(4), b(5), &length), length, 0x01, 0x03);
    checkBuilt(cmd, cmd.makeAddressRangeCommand(b(6), b(0), b(1), b(2), b(3), b(4), b(5), &length), length, 0x01, 0x03);

    // A data frame of an arbitrary length over the input's bytes (at most 256
    // of them are read), then one of the input's own length that must parse
    // back as a received frame of that length.
    std::array<uint8_t, 256> payload{};
    std::memcpy(payload.data(), data, std::min(size, payload.size()));
    uint32_t dwLength = 0;
    std::memcpy(&dwLength, payload.data(), std::min<size_t>(size, sizeof dwLength));
    const bool finalFrame = (b(4) & 1) != 0;
    checkBuilt(cmd, cmd.MakeProgrammingDataFrame(payload.data(), dwLength, finalFrame, &length), length, 0x02,
               finalFrame ? 0x03 : 0x17);
    FUZZ_CHECK((length != 0) == (dwLength >= 1 && dwLength <= 256));

    const uint32_t dwOwnLength = static_cast<uint32_t>(std::min(size, payload.size()));
    checkBuilt(cmd, cmd.makeDataFrame(payload.data(), dwOwnLength, true, &length), length, 0x02, 0x03);
    if (length != 0) {
        FUZZ_CHECK(std::equal(payload.begin(), payload.begin() + dwOwnLength, cmd.GetCommandFrames() + 2));
        std::memset(pbReceived, 0, FRAME_SIZE);
        std::memcpy(pbReceived, cmd.GetCommandFrames(), length);
        const int accepted = checkAll(cmd);
        const int expected[] = {0, 7, 3, 1};  // checkers that take a frame of 1, 2 or 3 data bytes
        FUZZ_CHECK(accepted == (dwOwnLength < 4 ? expected[dwOwnLength] : dwOwnLength == 22 ? 1 : 0));
    }
    return 0;
}
