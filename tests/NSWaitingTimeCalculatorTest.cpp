#include "NSWaitingTimeCalculator.h"

#include <gtest/gtest.h>

#include "ResultCodes.h"

namespace {

TEST(NSWaitingTimeCalculatorTest, WaitsInWholeMillisecondsRoundedUp)
{
    // Erase of the code flash at 32 MHz, full speed (258 ms) is checked below.
    // The sequence tests' exact timeouts at 32 MHz prove the rest: a data
    // frame 176 (330 in the data flash), an erase in the data flash 274,
    // Checksum data of 105 blocks 101, the completion status of 105 blocks 218
    // and of 1 block 102, and Reset, Silicon Signature (both parts),
    // Programming and Checksum raised to 100.

    // Each timeout from a calculator set to its frequency (MHz) and speed mode.
    const auto at = [](uint8_t mhz, bool fullSpeed = true) {
        NSWaitingTimeCalculator calculator;
        EXPECT_EQ(calculator.Initialize(mhz, fullSpeed), RESULT_OK);
        return calculator;
    };
    const struct {
        const char* what;
        uint64_t got, ms;
    } rows[] = {
        // In microseconds, with what rounding to nearest or integer division of K by f would give instead.
        // 67731/16 + 255098 = 259331.19 -> 260 (nearest: 259)
        {.what = "erase, code flash", .got = at(16).GetBlockEraseTcs3(true), .ms = 260},
        // 248862/8 + 299307 = 330414.75 -> 331 (nearest: 330)
        {.what = "erase, data flash", .got = at(8, false).GetBlockEraseTcs3(false), .ms = 331},
        // 105 * (30720/25) + 72/25 = 129026.88 -> 130 (nearest, or the per-block quotient truncated: 129)
        {.what = "Tsd10, 105 blocks", .got = at(25).GetCheckSumTsd10(105), .ms = 130},
        // 68 * (28382/32 + 3568) + (397/32 + 30) = 302978.16 -> 303 + 100 (with an access term: 404)
        {.what = "Tss5, data flash", .got = at(32).GetProgrammingTss5(0, 0xFFFF, 68, false), .ms = 403},
        // 256 * (4351/12 + 7324) + (1732/12 + 36) + (184/12 + 44) = 1968005 -> 1969 + 100 (integer K/f: 2068)
        {.what = "Tss5, code flash", .got = at(12, false).GetProgrammingTss5(0, 0x3FFFF, 256, true), .ms = 2069},
        // 63 * (1457 + 80) + (3805 + 91) + 2 regions * (203 + 18) = 101169 -> 102 (one region: 101)
        {.what = "blank check", .got = at(1).GetBlockBlankCheckTcs4(0x3FC00, 0x403FF, 63, true), .ms = 102},
        // 16 * (5035 + 1110) + (2494 + 168) = 100982 -> 101: the data flash has no access term
        {.what = "blank check, data",
         .got = at(1, false).GetBlockBlankCheckTcs4(0x3FC00, 0x43FFF, 16, false),
         .ms = 101},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.got, row.ms) << row.what;
    }

    NSWaitingTimeCalculator calculator;  // 32 MHz, full speed until told otherwise
    EXPECT_EQ(calculator.Initialize(0, false), ERR_PARAMETER);
    EXPECT_EQ(calculator.GetBlockEraseTcs3(true), 258U) << "a refused frequency must keep the previous setting";
}

}  // namespace
