#include "NSCommandProcessor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <numeric>
#include <string>
#include <tuple>
#include <vector>

#include "ResultCodes.h"

namespace {

using Bytes = std::vector<uint8_t>;
using N = uint64_t*;
using Parse = std::function<uint64_t()>;
constexpr uint8_t UNTOUCHED = 0xEE;

TEST(NSCommandProcessorTest, BuildsFramesByteForByteOrRefusesWithAZeroBuffer)
{
    NSCommandProcessor p;
    ASSERT_EQ(p.Initialize(), RESULT_OK);
    Bytes data(257);
    std::iota(data.begin(), data.end(), uint8_t{0});
    data[255] = 0x01;           // 0 + 1 + ... + 254 + 1 = 0x7E82: the sum byte is 0x100 - 0x82 = 0x7E
    Bytes full = {0x02, 0x00};  // the length byte of 256 data bytes is 0x00, and the sum covers it
    full.insert(full.end(), data.begin(), data.begin() + 256);
    full.insert(full.end(), {0x7E, 0x17});
    // An empty expected frame means the build is refused with ERR_PARAMETER.
    const std::vector<std::tuple<std::string, std::function<uint64_t(N)>, Bytes>> cases = {
        {"Reset", [&](N n) { return p.MakeResetCommand(n); }, {0x01, 0x01, 0x00, 0xFF, 0x03}},
        {"Baud Rate Set 0", [&](N n) { return p.MakeBaudRateCommand(0, 33, n); }, {1, 3, 0x9A, 0, 0x21, 0x42, 3}},
        {"Baud Rate Set 4", [&](N n) { return p.MakeBaudRateCommand(4, 33, n); }, {}},
        {"Silicon Signature", [&](N n) { return p.MakeSiliconSignatureCommand(n); }, {0x01, 0x01, 0xC0, 0x3F, 0x03}},
        {"Block Erase",
         [&](N n) { return p.MakeBlockEraseCommand(0x00, 0x04, 0x00, n); },
         {0x01, 0x04, 0x22, 0x00, 0x04, 0x00, 0xD6, 0x03}},
        {"Block Blank Check",
         [&](N n) { return p.MakeBlockBlankCheckCommand(0, 0, 0, 0xFF, 0x03, 0, 0, n); },
         {0x01, 0x08, 0x32, 0x00, 0x00, 0x00, 0xFF, 0x03, 0x00, 0x00, 0xC4, 0x03}},
        {"Programming",
         [&](N n) { return p.MakeProgrammingCommand(0, 0, 0, 0xFF, 0x07, 0, n); },
         {0x01, 0x07, 0x40, 0x00, 0x00, 0x00, 0xFF, 0x07, 0x00, 0xB3, 0x03}},
        {"Checksum",
         [&](N n) { return p.MakeChecksumCommand(0, 0, 0, 0xFF, 0x03, 0, n); },
         {0x01, 0x07, 0xB0, 0x00, 0x00, 0x00, 0xFF, 0x03, 0x00, 0x47, 0x03}},
        {"256 data bytes", [&](N n) { return p.makeDataFrame(data.data(), 256, false, n); }, full},
        {"257 data bytes", [&](N n) { return p.makeDataFrame(data.data(), 257, true, n); }, {}},
        // An empty frame's length byte 0x00 would read as 256 bytes on the wire.
        {"0 data bytes", [&](N n) { return p.makeDataFrame(data.data(), 0, true, n); }, {}},
    };
    for (const auto& [name, build, frame] : cases) {
        uint64_t length = 7;
        ASSERT_EQ(p.makeDataFrame(full.data(), 256, true, &length), RESULT_OK);  // leaves a long frame behind
        EXPECT_EQ(build(&length), frame.empty() ? ERR_PARAMETER : RESULT_OK) << name;
        EXPECT_EQ(length, frame.size()) << name;
        Bytes buffer = frame;
        buffer.resize(NSCommandProcessor::FRAME_BUFFER_SIZE, 0);
        EXPECT_EQ(Bytes(p.GetCommandFrames(), p.GetCommandFrames() + buffer.size()), buffer)
            << name << ": wrong frame, or bytes of the earlier frame left behind";
    }
}

TEST(NSCommandProcessorTest, ChecksAnswersInTheOrderTheTargetExpects)
{
    NSCommandProcessor p;
    ASSERT_EQ(p.Initialize(), RESULT_OK);
    // Each parser writes its own part of out: status, two statuses, the Baud Rate Set answer, the checksum,
    // then code, name with its zero and a spare byte, code and data flash ends, version.
    Bytes out(32, UNTOUCHED);
    const Parse one = [&] { return p.CheckStatus(&out[0]); };
    const Parse two = [&] { return p.CheckProgrammingDataFrameStatus(&out[1], &out[2]); };
    const Parse baud = [&] { return p.CheckBaudRateStatus(&out[3], &out[4], &out[5]); };
    const Parse checksum = [&] { return p.CheckChecksumDataFrams(&out[6], &out[7]); };
    const Parse signature = [&] {
        return p.CheckSiliconSignatureDataFrames(&out[8], &out[11], &out[23], &out[26], &out[29]);
    };
    // Code 11 22 33, name "ABCDEFGHIJ", code flash end FF FF 03, data flash end FF 0F 00, version 01 02 03.
    const Bytes sig = {0x02, 0x16, 0x11, 0x22, 0x33, 'A',  'B',  'C',  'D',  'E',  'F',  'G',  'H',
                       'I',  'J',  0xFF, 0xFF, 0x03, 0xFF, 0x0F, 0x00, 0x01, 0x02, 0x03, 0xB8, 0x03};
    // 21 data bytes with the right ends and sum
    const Bytes shortSig = {0x02, 0x15, 0x11, 0x22, 0x33, 'A',  'B',  'C',  'D',  'E',  'F',  'G', 'H',
                            'I',  'J',  0xFF, 0xFF, 0x03, 0xFF, 0x0F, 0x00, 0x01, 0x02, 0xBC, 0x03};
    // That a refused frame leaves the out parameters alone is
    // fuzz/NSCommandProcessorFuzz.cpp's to prove, for any bytes.
    const std::vector<std::tuple<std::string, Parse, Bytes, uint64_t>> cases = {
        // Status frames: form before sum; the sum runs from the length byte.
        {"status summed from the start byte", one, {0x02, 0x01, 0x06, 0xF7, 0x03}, ERR_SUM},
        {"status with wrong sum and ETB", one, {0x02, 0x01, 0x06, 0xF8, 0x17}, ERR_FRAME_FORMAT},
        {"status from a two-status frame", one, {0x02, 0x02, 0x06, 0x06, 0xF2, 0x03}, ERR_FRAME_FORMAT},
        // The Baud Rate Set answer: sum (over as many bytes as the length byte says) before form.
        {"baud, wrong sum and ETB", baud, {0x02, 0x03, 0x06, 0x01, 0x02, 0xF5, 0x17}, ERR_SUM},
        {"baud, ETB", baud, {0x02, 0x03, 0x06, 0x01, 0x02, 0xF4, 0x17}, ERR_FRAME_FORMAT},
        {"baud, short answer, sum read at offset 5", baud, {0x02, 0x01, 0x06, 0xF9, 0x03}, ERR_SUM},
        {"baud, length 2, summed as such", baud, {0x02, 0x02, 0x06, 0x01, 0x02, 0xF7, 0x03}, ERR_FRAME_FORMAT},
        // Result data frames: start and end bytes, then sum, then length.
        {"checksum summed from the start byte", checksum, {0x02, 0x02, 0x12, 0x34, 0xB6, 0x03}, ERR_SUM},
        {"checksum, wrong sum and ETB", checksum, {0x02, 0x02, 0x12, 0x34, 0xB7, 0x17}, ERR_FRAME_FORMAT},
        {"checksum, wrong sum and SOH", checksum, {0x01, 0x02, 0x12, 0x34, 0xB7, 0x03}, ERR_FRAME_FORMAT},
        {"checksum, wrong sum and length", checksum, {0x02, 0x03, 0x12, 0x34, 0x56, 0x60, 0x03}, ERR_SUM},
        {"checksum, wrong length", checksum, {0x02, 0x03, 0x12, 0x34, 0x56, 0x61, 0x03}, ERR_FRAME_FORMAT},
        {"signature of 21 data bytes", signature, shortSig, ERR_FRAME_FORMAT},
        {"status ACK", one, {0x02, 0x01, 0x06, 0xF9, 0x03}, RESULT_OK},
        {"ACK ACK", two, {0x02, 0x02, 0x06, 0x06, 0xF2, 0x03}, RESULT_OK},
        {"baud ACK", baud, {0x02, 0x03, 0x06, 0x01, 0x02, 0xF4, 0x03}, RESULT_OK},
        {"checksum", checksum, {0x02, 0x02, 0x12, 0x34, 0xB8, 0x03}, RESULT_OK},
        {"signature", signature, sig, RESULT_OK},
    };
    for (const auto& [name, parse, frame, expected] : cases) {
        std::fill_n(p.GetDataFrames(), NSCommandProcessor::FRAME_BUFFER_SIZE, uint8_t{0});
        std::copy(frame.begin(), frame.end(), p.GetDataFrames());
        EXPECT_EQ(parse(), expected) << name;
    }
    Bytes expected = {0x06, 0x06, 0x06, 0x06, 0x01, 0x02, 0x12, 0x34};
    expected.insert(expected.end(), sig.begin() + 2, sig.begin() + 24);
    expected.insert(expected.begin() + 21, {0x00, UNTOUCHED});  // ten name bytes and a zero, nothing more
    EXPECT_EQ(out, expected);
}

}  // namespace
