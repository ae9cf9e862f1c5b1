#include "NSCommandProcessor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "ResultCodes.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Parse = std::function<uint64_t()>;
constexpr uint8_t UNTOUCHED = 0xEE;
constexpr uint8_t SOH = 0x01, STX = 0x02, ETX = 0x03, ACK = 0x06, ETB = 0x17;

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
    const Parse sum = [&] { return p.CheckChecksumDataFrams(&out[6], &out[7]); };
    const Parse sig = [&] {
        return p.CheckSiliconSignatureDataFrames(&out[8], &out[11], &out[23], &out[26], &out[29]);
    };
    // Code 11 22 33, name "ABCDEFGHIJ", code flash end FF FF 03, data flash end FF 0F 00, version 01 02 03.
    const Bytes signature = {0x02, 0x16, 0x11, 0x22, 0x33, 'A',  'B',  'C',  'D',  'E',  'F',  'G',  'H',
                             'I',  'J',  0xFF, 0xFF, 0x03, 0xFF, 0x0F, 0x00, 0x01, 0x02, 0x03, 0xB8, 0x03};
    // 21 data bytes with the right ends and sum
    const Bytes shortSignature = {0x02, 0x15, 0x11, 0x22, 0x33, 'A',  'B',  'C',  'D',  'E',  'F',  'G', 'H',
                                  'I',  'J',  0xFF, 0xFF, 0x03, 0xFF, 0x0F, 0x00, 0x01, 0x02, 0xBC, 0x03};
    constexpr uint64_t SUM = ERR_SUM, FORM = ERR_FRAME_FORMAT, OK = RESULT_OK;
    // That a refused frame leaves the out parameters alone is
    // fuzz/NSCommandProcessorFuzz.cpp's to prove, for any bytes.
    // The table is laid out by hand, a row a line, between clang-format off and
    // on: clang-format would put each field of a long row on a line of its own.
    // clang-format off
    const struct {
        const char* what;
        Parse by;
        Bytes frame;
        uint64_t gives;
    } rows[] = {
        // Status frames: form before sum; the sum runs from the length byte.
        {.what = "status, sum from STX",     .by = one,  .frame = {STX, 1, ACK, 0xF7, ETX},              .gives = SUM},
        {.what = "status, wrong sum, ETB",   .by = one,  .frame = {STX, 1, ACK, 0xF8, ETB},              .gives = FORM},
        {.what = "status: two statuses",     .by = one,  .frame = {STX, 2, ACK, ACK, 0xF2, ETX},         .gives = FORM},
        // The Baud Rate Set answer: sum (over as many bytes as the length byte says) before form.
        {.what = "baud, wrong sum, ETB",     .by = baud, .frame = {STX, 3, ACK, 1, 2, 0xF5, ETB},        .gives = SUM},
        {.what = "baud, ETB",                .by = baud, .frame = {STX, 3, ACK, 1, 2, 0xF4, ETB},        .gives = FORM},
        {.what = "baud, short, sum at 5",    .by = baud, .frame = {STX, 1, ACK, 0xF9, ETX},              .gives = SUM},
        {.what = "baud, length 2",           .by = baud, .frame = {STX, 2, ACK, 1, 2, 0xF7, ETX},        .gives = FORM},
        // Result data frames: start and end bytes, then sum, then length.
        {.what = "checksum, sum from STX",   .by = sum,  .frame = {STX, 2, 0x12, 0x34, 0xB6, ETX},       .gives = SUM},
        {.what = "checksum, wrong sum, ETB", .by = sum,  .frame = {STX, 2, 0x12, 0x34, 0xB7, ETB},       .gives = FORM},
        {.what = "checksum, wrong sum, SOH", .by = sum,  .frame = {SOH, 2, 0x12, 0x34, 0xB7, ETX},       .gives = FORM},
        {.what = "checksum, sum, length",    .by = sum,  .frame = {STX, 3, 0x12, 0x34, 0x56, 0x60, ETX}, .gives = SUM},
        {.what = "checksum, length",         .by = sum,  .frame = {STX, 3, 0x12, 0x34, 0x56, 0x61, ETX}, .gives = FORM},
        {.what = "signature, 21 bytes",      .by = sig,  .frame = shortSignature,                        .gives = FORM},
        {.what = "status ACK",               .by = one,  .frame = {STX, 1, ACK, 0xF9, ETX},              .gives = OK},
        {.what = "ACK ACK",                  .by = two,  .frame = {STX, 2, ACK, ACK, 0xF2, ETX},         .gives = OK},
        {.what = "baud ACK",                 .by = baud, .frame = {STX, 3, ACK, 1, 2, 0xF4, ETX},        .gives = OK},
        {.what = "checksum",                 .by = sum,  .frame = {STX, 2, 0x12, 0x34, 0xB8, ETX},       .gives = OK},
        {.what = "signature",                .by = sig,  .frame = signature,                             .gives = OK},
    };
    // clang-format on
    for (const auto& row : rows) {
        std::fill_n(p.GetDataFrames(), NSCommandProcessor::FRAME_BUFFER_SIZE, uint8_t{0});
        std::copy(row.frame.begin(), row.frame.end(), p.GetDataFrames());
        EXPECT_EQ(row.by(), row.gives) << row.what;
    }
    // The ten name bytes and a zero, nothing more.
    const Bytes expected = {ACK, ACK, ACK, ACK, 1,   2,    0x12,      0x34, 0x11, 0x22, 0x33, 'A',  'B',  'C', 'D', 'E',
                            'F', 'G', 'H', 'I', 'J', 0x00, UNTOUCHED, 0xFF, 0xFF, 0x03, 0xFF, 0x0F, 0x00, 1,   2,   3};
    EXPECT_EQ(out, expected);
}

}  // namespace
