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
using Parser = std::function<uint64_t()>;
constexpr uint8_t UNTOUCHED = 0xEE;

class NSCommandProcessorTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(p.Initialize(), RESULT_OK); }

    // Puts each frame at the start of the receive buffer (the rest zero) and checks what the parser returns.
    void expectAll(const Parser& parse, const std::vector<std::tuple<std::string, Bytes, uint64_t>>& cases)
    {
        for (const auto& [name, frame, expected] : cases) {
            std::fill_n(p.GetDataFrames(), NSCommandProcessor::FRAME_BUFFER_SIZE, uint8_t{0});
            std::copy(frame.begin(), frame.end(), p.GetDataFrames());
            EXPECT_EQ(parse(), expected) << name;
        }
    }

    NSCommandProcessor p;
};

TEST_F(NSCommandProcessorTest, BuildsFramesByteForByteOrRefusesWithAZeroBuffer)
{
    const Bytes abc = {0x61, 0x62, 0x63};
    Bytes data(257);
    std::iota(data.begin(), data.end(), uint8_t{0});
    data[255] = 0x01; // 0 + 1 + ... + 254 + 1 = 0x7E82: the sum byte is 0x100 - 0x82 = 0x7E
    Bytes full = {0x02, 0x00}; // the length byte of 256 data bytes is 0x00, and the sum covers it
    full.insert(full.end(), data.begin(), data.begin() + 256);
    full.insert(full.end(), {0x7E, 0x17});
    // An empty expected frame means the build is refused with ERR_PARAMETER.
    const std::vector<std::tuple<std::string, std::function<uint64_t(uint64_t*)>, Bytes>> cases = {
        {"Reset", [&](auto* n) { return p.MakeResetCommand(n); }, {0x01, 0x01, 0x00, 0xFF, 0x03}},
        {"Baud Rate Set 0", [&](auto* n) { return p.MakeBaudRateCommand(0, 33, n); },
         {0x01, 0x03, 0x9A, 0x00, 0x21, 0x42, 0x03}},
        {"Baud Rate Set 3", [&](auto* n) { return p.MakeBaudRateCommand(3, 33, n); },
         {0x01, 0x03, 0x9A, 0x03, 0x21, 0x3F, 0x03}},
        {"Baud Rate Set 4", [&](auto* n) { return p.MakeBaudRateCommand(4, 33, n); }, {}},
        {"Silicon Signature", [&](auto* n) { return p.MakeSiliconSignatureCommand(n); },
         {0x01, 0x01, 0xC0, 0x3F, 0x03}},
        {"Block Erase", [&](auto* n) { return p.MakeBlockEraseCommand(0x00, 0x04, 0x00, n); },
         {0x01, 0x04, 0x22, 0x00, 0x04, 0x00, 0xD6, 0x03}},
        {"Block Blank Check", [&](auto* n) { return p.MakeBlockBlankCheckCommand(0, 0, 0, 0xFF, 0x03, 0, 0, n); },
         {0x01, 0x08, 0x32, 0x00, 0x00, 0x00, 0xFF, 0x03, 0x00, 0x00, 0xC4, 0x03}},
        {"Programming", [&](auto* n) { return p.MakeProgrammingCommand(0, 0, 0, 0xFF, 0x07, 0, n); },
         {0x01, 0x07, 0x40, 0x00, 0x00, 0x00, 0xFF, 0x07, 0x00, 0xB3, 0x03}},
        {"Checksum", [&](auto* n) { return p.MakeChecksumCommand(0, 0, 0, 0xFF, 0x03, 0, n); },
         {0x01, 0x07, 0xB0, 0x00, 0x00, 0x00, 0xFF, 0x03, 0x00, 0x47, 0x03}},
        {"data, not last", [&](auto* n) { return p.MakeProgrammingDataFrame(abc.data(), 3, false, n); },
         {0x02, 0x03, 0x61, 0x62, 0x63, 0xD7, 0x17}},
        {"data, last", [&](auto* n) { return p.MakeProgrammingDataFrame(abc.data(), 3, true, n); },
         {0x02, 0x03, 0x61, 0x62, 0x63, 0xD7, 0x03}},
        {"256 data bytes", [&](auto* n) { return p.makeDataFrame(data.data(), 256, false, n); }, full},
        {"257 data bytes", [&](auto* n) { return p.makeDataFrame(data.data(), 257, true, n); }, {}},
        // An empty frame's length byte 0x00 would read as 256 bytes on the wire.
        {"0 data bytes", [&](auto* n) { return p.makeDataFrame(data.data(), 0, true, n); }, {}},
    };
    for (const auto& [name, build, frame] : cases) {
        uint64_t length = 7;
        ASSERT_EQ(p.makeDataFrame(full.data(), 256, true, &length), RESULT_OK); // leaves a long frame behind
        EXPECT_EQ(build(&length), frame.empty() ? ERR_PARAMETER : RESULT_OK) << name;
        EXPECT_EQ(length, frame.size()) << name;
        Bytes buffer = frame;
        buffer.resize(NSCommandProcessor::FRAME_BUFFER_SIZE, 0);
        EXPECT_EQ(Bytes(p.GetCommandFrames(), p.GetCommandFrames() + buffer.size()), buffer)
            << name << ": wrong frame, or bytes of the earlier frame left behind";
    }
}

TEST_F(NSCommandProcessorTest, ChecksAnswersInTheOrderTheTargetExpects)
{
    Bytes out(8, UNTOUCHED);
    const Parser one = [&] { return p.CheckStatus(&out[0]); };
    const Parser two = [&] { return p.CheckProgrammingDataFrameStatus(&out[1], &out[2]); };
    const Parser baud = [&] { return p.CheckBaudRateStatus(&out[3], &out[4], &out[5]); };
    const Parser checksum = [&] { return p.CheckChecksumDataFrams(&out[6], &out[7]); };
    // Status frames: form before sum; the sum runs from the length byte.
    expectAll(one, {{"summed from the start byte", {0x02, 0x01, 0x06, 0xF7, 0x03}, ERR_SUM},
                    {"wrong sum and ETB", {0x02, 0x01, 0x06, 0xF8, 0x17}, ERR_FRAME_FORMAT},
                    {"a two-status frame", {0x02, 0x02, 0x06, 0x06, 0xF2, 0x03}, ERR_FRAME_FORMAT}});
    expectAll(two, {{"wrong sum", {0x02, 0x02, 0x06, 0x06, 0xF3, 0x03}, ERR_SUM},
                    {"wrong sum and SOH", {0x01, 0x02, 0x06, 0x06, 0xF3, 0x03}, ERR_FRAME_FORMAT},
                    {"a one-status frame", {0x02, 0x01, 0x06, 0xF9, 0x03}, ERR_FRAME_FORMAT}});
    // The Baud Rate Set answer: sum (over as many bytes as the length byte says) before form.
    expectAll(baud, {{"wrong sum and ETB", {0x02, 0x03, 0x06, 0x01, 0x02, 0xF5, 0x17}, ERR_SUM},
                     {"ETB", {0x02, 0x03, 0x06, 0x01, 0x02, 0xF4, 0x17}, ERR_FRAME_FORMAT},
                     {"short answer, sum read at offset 5", {0x02, 0x01, 0x06, 0xF9, 0x03}, ERR_SUM},
                     {"length 2, summed as such", {0x02, 0x02, 0x06, 0x01, 0x02, 0xF7, 0x03}, ERR_FRAME_FORMAT}});
    // Result data frames: start and end bytes, then sum, then length.
    expectAll(checksum, {{"summed from the start byte", {0x02, 0x02, 0x12, 0x34, 0xB6, 0x03}, ERR_SUM},
                         {"wrong sum and ETB", {0x02, 0x02, 0x12, 0x34, 0xB7, 0x17}, ERR_FRAME_FORMAT},
                         {"wrong sum and SOH", {0x01, 0x02, 0x12, 0x34, 0xB7, 0x03}, ERR_FRAME_FORMAT},
                         {"wrong sum and length", {0x02, 0x03, 0x12, 0x34, 0x56, 0x60, 0x03}, ERR_SUM},
                         {"wrong length", {0x02, 0x03, 0x12, 0x34, 0x56, 0x61, 0x03}, ERR_FRAME_FORMAT}});
    EXPECT_EQ(out, Bytes(8, UNTOUCHED)) << "out parameter written on failure";

    expectAll(one, {{"ACK", {0x02, 0x01, 0x06, 0xF9, 0x03}, RESULT_OK}});
    expectAll(two, {{"ACK ACK", {0x02, 0x02, 0x06, 0x06, 0xF2, 0x03}, RESULT_OK}});
    expectAll(baud, {{"ACK", {0x02, 0x03, 0x06, 0x01, 0x02, 0xF4, 0x03}, RESULT_OK}});
    expectAll(checksum, {{"checksum", {0x02, 0x02, 0x12, 0x34, 0xB8, 0x03}, RESULT_OK}});
    EXPECT_EQ(out, (Bytes{0x06, 0x06, 0x06, 0x06, 0x01, 0x02, 0x12, 0x34}));

    // Code 11 22 33, name "ABCDEFGHIJ", code flash end FF FF 03, data flash end FF 0F 00, version 01 02 03.
    Bytes sig = {0x02, 0x16, 0x11, 0x22, 0x33, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J',
                 0xFF, 0xFF, 0x03, 0xFF, 0x0F, 0x00, 0x01, 0x02, 0x03};
    Bytes shortSig(sig.begin(), sig.end() - 1); // 21 data bytes with the right ends and sum
    shortSig[1] = 21;
    for (Bytes* frame : {&sig, &shortSig}) {
        frame->push_back(p.getCheckSum(frame->data(), 1, static_cast<int32_t>(frame->size()) - 1));
        frame->push_back(0x03);
    }
    out.assign(24, UNTOUCHED); // code, name with its zero and a spare byte, code and data flash ends, version
    const Parser signature = [&] {
        return p.CheckSiliconSignatureDataFrames(&out[0], &out[3], &out[15], &out[18], &out[21]);
    };
    expectAll(signature, {{"21 data bytes", shortSig, ERR_FRAME_FORMAT}});
    EXPECT_EQ(out, Bytes(24, UNTOUCHED)) << "out parameter written on failure";
    expectAll(signature, {{"signature", sig, RESULT_OK}});
    Bytes expected(sig.begin() + 2, sig.begin() + 24);
    expected.insert(expected.begin() + 13, {0x00, UNTOUCHED}); // ten name bytes and a zero, nothing more
    EXPECT_EQ(out, expected);
}

} // namespace
