#include "NSCommandProcessor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

#include "ResultCodes.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint8_t UNTOUCHED = 0xEE;

class NSCommandProcessorTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(processor.Initialize(), RESULT_OK); }

    Bytes sent(uint64_t length) { return Bytes(processor.GetCommandFrames(), processor.GetCommandFrames() + length); }

    bool transmitBufferIsZeroFrom(uint64_t offset)
    {
        const uint8_t* frame = processor.GetCommandFrames();
        return std::all_of(frame + offset, frame + NSCommandProcessor::FRAME_BUFFER_SIZE,
                           [](uint8_t b) { return b == 0; });
    }

    // Copies a received frame into the receive buffer; the rest of the buffer is filled with fill.
    void receive(const Bytes& frame, uint8_t fill = 0)
    {
        uint8_t* buffer = processor.GetDataFrames();
        std::fill_n(buffer, NSCommandProcessor::FRAME_BUFFER_SIZE, fill);
        std::copy(frame.begin(), frame.end(), buffer);
    }

    NSCommandProcessor processor;
};

TEST_F(NSCommandProcessorTest, CommandFramesAreBuiltByteForByte)
{
    struct Case {
        std::string name;
        std::function<uint64_t(NSCommandProcessor&, uint64_t*)> build;
        Bytes expected;
    };
    const std::vector<Case> cases = {
        {"Reset", [](auto& p, auto* n) { return p.MakeResetCommand(n); }, {0x01, 0x01, 0x00, 0xFF, 0x03}},
        {"Baud Rate Set code 0", [](auto& p, auto* n) { return p.MakeBaudRateCommand(0, 33, n); },
         {0x01, 0x03, 0x9A, 0x00, 0x21, 0x42, 0x03}},
        {"Baud Rate Set code 3", [](auto& p, auto* n) { return p.MakeBaudRateCommand(3, 33, n); },
         {0x01, 0x03, 0x9A, 0x03, 0x21, 0x3F, 0x03}},
        {"Silicon Signature", [](auto& p, auto* n) { return p.MakeSiliconSignatureCommand(n); },
         {0x01, 0x01, 0xC0, 0x3F, 0x03}},
        {"Block Erase 0x000400", [](auto& p, auto* n) { return p.MakeBlockEraseCommand(0x00, 0x04, 0x00, n); },
         {0x01, 0x04, 0x22, 0x00, 0x04, 0x00, 0xD6, 0x03}},
        {"Block Blank Check 0x000000-0x0003FF",
         [](auto& p, auto* n) { return p.MakeBlockBlankCheckCommand(0x00, 0x00, 0x00, 0xFF, 0x03, 0x00, 0x00, n); },
         {0x01, 0x08, 0x32, 0x00, 0x00, 0x00, 0xFF, 0x03, 0x00, 0x00, 0xC4, 0x03}},
        {"Programming 0x000000-0x0007FF",
         [](auto& p, auto* n) { return p.MakeProgrammingCommand(0x00, 0x00, 0x00, 0xFF, 0x07, 0x00, n); },
         {0x01, 0x07, 0x40, 0x00, 0x00, 0x00, 0xFF, 0x07, 0x00, 0xB3, 0x03}},
        {"Checksum 0x000000-0x0003FF",
         [](auto& p, auto* n) { return p.MakeChecksumCommand(0x00, 0x00, 0x00, 0xFF, 0x03, 0x00, n); },
         {0x01, 0x07, 0xB0, 0x00, 0x00, 0x00, 0xFF, 0x03, 0x00, 0x47, 0x03}},
    };
    const Bytes full(256, 0x5A);
    for (const Case& c : cases) {
        uint64_t length = 0;
        // A long frame first: the command frame must not leave any of it behind.
        ASSERT_EQ(processor.makeDataFrame(full.data(), 256, true, &length), RESULT_OK);
        EXPECT_EQ(c.build(processor, &length), RESULT_OK) << c.name;
        EXPECT_EQ(length, c.expected.size()) << c.name;
        EXPECT_EQ(sent(c.expected.size()), c.expected) << c.name;
        EXPECT_TRUE(transmitBufferIsZeroFrom(c.expected.size())) << c.name << ": old frame bytes left behind";
    }
}

TEST_F(NSCommandProcessorTest, DataFramesCarryLengthSumAndEndByte)
{
    const Bytes abc = {0x61, 0x62, 0x63};
    uint64_t length = 0;
    ASSERT_EQ(processor.MakeProgrammingDataFrame(abc.data(), 3, false, &length), RESULT_OK);
    EXPECT_EQ(sent(length), (Bytes{0x02, 0x03, 0x61, 0x62, 0x63, 0xD7, 0x17})) << "not the last frame ends in ETB";
    ASSERT_EQ(processor.MakeProgrammingDataFrame(abc.data(), 3, true, &length), RESULT_OK);
    EXPECT_EQ(sent(length), (Bytes{0x02, 0x03, 0x61, 0x62, 0x63, 0xD7, 0x03})) << "the last frame ends in ETX";

    // 256 bytes: the length byte is 0x00 and the sum covers it and every data byte.
    Bytes data(256);
    std::iota(data.begin(), data.end(), uint8_t{0});
    data[255] = 0x01; // 0 + 1 + ... + 254 + 1 = 32386 = 0x7E82, so the sum byte is 0x100 - 0x82 = 0x7E
    ASSERT_EQ(processor.makeDataFrame(data.data(), 256, false, &length), RESULT_OK);
    const Bytes frame = sent(length);
    ASSERT_EQ(length, 260U);
    EXPECT_EQ(frame[0], 0x02);
    EXPECT_EQ(frame[1], 0x00);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), frame.begin() + 2));
    EXPECT_EQ(frame[258], 0x7E);
    EXPECT_EQ(frame[259], 0x17);
}

TEST_F(NSCommandProcessorTest, RefusedBuildsLeaveZerosAndLengthZero)
{
    const Bytes data(257, 0x33);
    struct Case {
        std::string name;
        std::function<uint64_t(NSCommandProcessor&, uint64_t*)> build;
    };
    const std::vector<Case> cases = {
        {"257-byte data frame", [&](auto& p, auto* n) { return p.makeDataFrame(data.data(), 257, true, n); }},
        {"empty data frame", [&](auto& p, auto* n) { return p.MakeProgrammingDataFrame(data.data(), 0, true, n); }},
        {"baud-rate code 4", [](auto& p, auto* n) { return p.MakeBaudRateCommand(4, 33, n); }},
    };
    for (const Case& c : cases) {
        uint64_t length = 0;
        ASSERT_EQ(processor.makeDataFrame(data.data(), 256, true, &length), RESULT_OK);
        EXPECT_EQ(c.build(processor, &length), ERR_PARAMETER) << c.name;
        EXPECT_EQ(length, 0U) << c.name;
        EXPECT_TRUE(transmitBufferIsZeroFrom(0)) << c.name << ": refused build must leave only zeros";
    }
}

TEST_F(NSCommandProcessorTest, StatusFramesCheckFormBeforeSum)
{
    uint8_t st1 = UNTOUCHED;
    uint8_t st2 = UNTOUCHED;
    receive({0x02, 0x01, 0x06, 0xF9, 0x03});
    EXPECT_EQ(processor.checkStatus(&st1), RESULT_OK);
    EXPECT_EQ(st1, 0x06);

    receive({0x02, 0x02, 0x06, 0x06, 0xF2, 0x03});
    EXPECT_EQ(processor.CheckProgrammingDataFrameStatus(&st1, &st2), RESULT_OK);
    EXPECT_EQ(st2, 0x06);

    struct Case {
        std::string name;
        Bytes frame;
        uint64_t shortForm; // checkStatus
        uint64_t longForm;  // checkDataFrame
    };
    const std::vector<Case> cases = {
        {"short frame, wrong sum", {0x02, 0x01, 0x06, 0xF8, 0x03}, ERR_SUM, ERR_FRAME_FORMAT},
        {"long frame, wrong sum", {0x02, 0x02, 0x06, 0x06, 0xF3, 0x03}, ERR_FRAME_FORMAT, ERR_SUM},
        {"short frame, wrong sum and ETB", {0x02, 0x01, 0x06, 0xF8, 0x17}, ERR_FRAME_FORMAT, ERR_FRAME_FORMAT},
        {"long frame, wrong sum and SOH", {0x01, 0x02, 0x06, 0x06, 0xF3, 0x03}, ERR_FRAME_FORMAT, ERR_FRAME_FORMAT},
        // Summing from the start byte instead of the length byte accepts this one.
        {"short frame summed from offset 0", {0x02, 0x01, 0x06, 0xF7, 0x03}, ERR_SUM, ERR_FRAME_FORMAT},
    };
    for (const Case& c : cases) {
        receive(c.frame);
        st1 = st2 = UNTOUCHED;
        EXPECT_EQ(processor.CheckStatus(&st1), c.shortForm) << c.name;
        EXPECT_EQ(processor.checkDataFrame(&st1, &st2), c.longForm) << c.name;
        EXPECT_EQ(st1, UNTOUCHED) << c.name << ": out parameter written on failure";
        EXPECT_EQ(st2, UNTOUCHED) << c.name << ": out parameter written on failure";
    }
}

TEST_F(NSCommandProcessorTest, BaudRateAnswerChecksSumBeforeForm)
{
    uint8_t st1 = UNTOUCHED;
    uint8_t d01 = UNTOUCHED;
    uint8_t d02 = UNTOUCHED;
    const std::vector<std::pair<Bytes, uint64_t>> failures = {
        {{0x02, 0x03, 0x06, 0x01, 0x02, 0xF5, 0x17}, ERR_SUM},          // wrong sum and end byte: the sum wins
        {{0x02, 0x03, 0x06, 0x01, 0x02, 0xF4, 0x17}, ERR_FRAME_FORMAT}, // only the end byte is wrong
        {{0x02, 0x01, 0x06, 0xF9, 0x03}, ERR_SUM},                      // the short answer: sum byte read at offset 5
        {{0x02, 0x02, 0x06, 0x01, 0x02, 0xF7, 0x03}, ERR_FRAME_FORMAT}, // the length byte sets the summed range
    };
    for (const auto& [frame, expected] : failures) {
        receive(frame);
        EXPECT_EQ(processor.CheckBaudRateStatus(&st1, &d01, &d02), expected);
        EXPECT_EQ(Bytes({st1, d01, d02}), Bytes(3, UNTOUCHED)) << "out parameter written on failure";
    }
    receive({0x02, 0x03, 0x06, 0x01, 0x02, 0xF4, 0x03});
    ASSERT_EQ(processor.CheckBaudRateStatus(&st1, &d01, &d02), RESULT_OK);
    EXPECT_EQ(Bytes({st1, d01, d02}), Bytes({0x06, 0x01, 0x02}));
}

TEST_F(NSCommandProcessorTest, ResultDataFramesCheckEndsThenSumThenLength)
{
    // Signature: code 11 22 33, name "ABCDEFGHIJ", code flash end FF FF 03, data flash end FF 0F 00, version 01 02 03.
    Bytes signature = {0x02, 0x16, 0x11, 0x22, 0x33, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J',
                       0xFF, 0xFF, 0x03, 0xFF, 0x0F, 0x00, 0x01, 0x02, 0x03};
    signature.push_back(processor.getCheckSum(signature.data(), 1, 23));
    signature.push_back(0x03);
    Bytes code(3, UNTOUCHED), dev(12, UNTOUCHED), cen(3, UNTOUCHED), den(3, UNTOUCHED), ver(3, UNTOUCHED);
    auto checkSignature = [&] {
        return processor.CheckSiliconSignatureDataFrames(code.data(), dev.data(), cen.data(), den.data(), ver.data());
    };

    Bytes shortSignature(signature.begin(), signature.begin() + 23); // 21 data bytes, correct ends and sum
    shortSignature[1] = 21;
    shortSignature.push_back(processor.getCheckSum(shortSignature.data(), 1, 22));
    shortSignature.push_back(0x03);
    Bytes badSumAndEnd = signature;
    badSumAndEnd[24] ^= 1;
    badSumAndEnd[25] = 0x17;
    Bytes badSum = signature;
    badSum[24] ^= 1;
    for (const auto& [frame, expected] : std::vector<std::pair<Bytes, uint64_t>>{
             {shortSignature, ERR_FRAME_FORMAT}, {badSumAndEnd, ERR_FRAME_FORMAT}, {badSum, ERR_SUM}}) {
        receive(frame);
        EXPECT_EQ(checkSignature(), expected);
        EXPECT_EQ(code, Bytes(3, UNTOUCHED)) << "out parameter written on failure";
        EXPECT_EQ(dev, Bytes(12, UNTOUCHED)) << "out parameter written on failure";
    }

    receive(signature, 0x5A);
    ASSERT_EQ(checkSignature(), RESULT_OK);
    EXPECT_EQ(code, (Bytes{0x11, 0x22, 0x33}));
    EXPECT_EQ(dev, (Bytes{'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 0x00, UNTOUCHED}))
        << "ten name bytes and one terminating zero, nothing more";
    EXPECT_EQ(cen, (Bytes{0xFF, 0xFF, 0x03}));
    EXPECT_EQ(den, (Bytes{0xFF, 0x0F, 0x00}));
    EXPECT_EQ(ver, (Bytes{0x01, 0x02, 0x03}));

    uint8_t ck1 = UNTOUCHED;
    uint8_t ck2 = UNTOUCHED;
    receive({0x02, 0x02, 0x12, 0x34, 0xB7, 0x03});
    EXPECT_EQ(processor.CheckChecksumDataFrams(&ck1, &ck2), ERR_SUM);
    receive({0x02, 0x02, 0x12, 0x34, 0xB7, 0x17});
    EXPECT_EQ(processor.CheckChecksumDataFrams(&ck1, &ck2), ERR_FRAME_FORMAT);
    EXPECT_EQ(Bytes({ck1, ck2}), Bytes(2, UNTOUCHED)) << "out parameter written on failure";
    receive({0x02, 0x02, 0x12, 0x34, 0xB8, 0x03});
    ASSERT_EQ(processor.CheckChecksumDataFrams(&ck1, &ck2), RESULT_OK);
    EXPECT_EQ(Bytes({ck1, ck2}), Bytes({0x12, 0x34}));
}

TEST_F(NSCommandProcessorTest, CheckersStayInsideTheReceiveBufferForAnyLengthByte)
{
    // Every length byte, with the rest of the buffer all ones: the parsers that take the length
    // from the frame read up to offset 258 and no further (the sanitizer build catches more).
    uint8_t out[16];
    for (int length = 0; length <= 0xFF; ++length) {
        receive({0x02, static_cast<uint8_t>(length)}, 0xFF);
        EXPECT_NE(processor.checkStatus(out), RESULT_OK);
        EXPECT_NE(processor.checkDataFrame(out, out + 1), RESULT_OK);
        EXPECT_NE(processor.CheckBaudRateStatus(out, out + 1, out + 2), RESULT_OK);
        EXPECT_NE(processor.CheckSiliconSignatureDataFrames(out, out + 3, out + 3, out + 3, out + 3), RESULT_OK);
        EXPECT_NE(processor.CheckChecksumDataFrams(out, out + 1), RESULT_OK);
    }
    EXPECT_EQ(processor.getCheckSum(out, 0, 0), 0);
    EXPECT_EQ(processor.getCheckSum(out, 0, -1), 0);
}

TEST(NSCommandProcessorWithoutBuffers, RefusesWithInitError)
{
    NSCommandProcessor processor; // Initialize never ran
    uint64_t length = 7;
    uint8_t b = UNTOUCHED;
    EXPECT_EQ(processor.GetCommandFrames(), nullptr);
    EXPECT_EQ(processor.MakeResetCommand(&length), ERR_INIT);
    EXPECT_EQ(length, 0U);
    EXPECT_EQ(processor.makeDataFrame(&b, 1, true, &length), ERR_INIT);
    EXPECT_EQ(processor.checkStatus(&b), ERR_INIT);
    EXPECT_EQ(processor.checkDataFrame(&b, &b), ERR_INIT);
    EXPECT_EQ(processor.CheckBaudRateStatus(&b, &b, &b), ERR_INIT);
    EXPECT_EQ(processor.CheckChecksumDataFrams(&b, &b), ERR_INIT);
    EXPECT_EQ(b, UNTOUCHED);
}

} // namespace
