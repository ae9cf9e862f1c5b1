#include "NSWaitingTimeCalculator.h"

#include <gtest/gtest.h>

#include <tuple>

#include "ResultCodes.h"

namespace {

using C = const NSWaitingTimeCalculator&;

TEST(NSWaitingTimeCalculatorTest, WaitsInWholeMillisecondsRoundedUp)
{
    // Erase of the code flash at 32 MHz, full speed (258 ms) is checked below.
    // The sequence tests' exact timeouts at 32 MHz prove the rest: a data
    // frame 176, Checksum data of 105 blocks 101, and Reset, Silicon Signature
    // (both parts), Programming and Checksum raised to 100.
    const std::tuple<const char*, uint8_t, bool, uint64_t (*)(C), uint64_t> cases[] = {
        {"erase, data flash", 32, true, [](C t) { return t.GetBlockEraseTcs3(false); }, 274},
        {"Tds5, data flash", 32, true, [](C t) { return t.GetProgrammingTds5(false); }, 330},
        {"Tsd10, 104 blocks", 32, true, [](C t) { return t.GetCheckSumTsd10(104); }, 100},
        {"Tss5, 1 block", 32, true, [](C t) { return t.GetProgrammingTss5(0, 0x3FF, 1, true); }, 102},
        {"Tss5, 32 blocks", 32, true, [](C t) { return t.GetProgrammingTss5(0, 0x7FFF, 32, true); }, 136},
        {"Tss5, 256 blocks", 32, true, [](C t) { return t.GetProgrammingTss5(0, 0x3FFFF, 256, true); }, 386},
        // In microseconds, with what rounding to nearest or integer division of K by f would give instead.
        // 67731/16 + 255098 = 259331.19 -> 260 (nearest: 259)
        {"erase, code flash", 16, true, [](C t) { return t.GetBlockEraseTcs3(true); }, 260},
        // 248862/8 + 299307 = 330414.75 -> 331 (nearest: 330)
        {"erase, data flash", 8, false, [](C t) { return t.GetBlockEraseTcs3(false); }, 331},
        // 105 * (30720/25) + 72/25 = 129026.88 -> 130 (nearest, or the per-block quotient truncated: 129)
        {"Tsd10, 105 blocks", 25, true, [](C t) { return t.GetCheckSumTsd10(105); }, 130},
        // 68 * (28382/32 + 3568) + (397/32 + 30) = 302978.16 -> 303 + 100 (with an access term: 404)
        {"Tss5, data flash", 32, true, [](C t) { return t.GetProgrammingTss5(0, 0xFFFF, 68, false); }, 403},
        // 256 * (4351/12 + 7324) + (1732/12 + 36) + (184/12 + 44) = 1968005 -> 1969 + 100 (integer K/f: 2068)
        {"Tss5, code flash", 12, false, [](C t) { return t.GetProgrammingTss5(0, 0x3FFFF, 256, true); }, 2069},
        // 63 * (1457 + 80) + (3805 + 91) + 2 regions * (203 + 18) = 101169 -> 102 (one region: 101)
        {"blank check", 1, true, [](C t) { return t.GetBlockBlankCheckTcs4(0x3FC00, 0x403FF, 63, true); }, 102},
        // 16 * (5035 + 1110) + (2494 + 168) = 100982 -> 101: the data flash has no access term
        {"blank check, data", 1, false, [](C t) { return t.GetBlockBlankCheckTcs4(0x3FC00, 0x43FFF, 16, false); }, 101},
    };
    for (const auto& [name, frequency, fullSpeed, get, expected] : cases) {
        NSWaitingTimeCalculator calculator;
        ASSERT_EQ(calculator.Initialize(frequency, fullSpeed), RESULT_OK) << name;
        EXPECT_EQ(get(calculator), expected) << name << " at " << int(frequency) << " MHz, full speed " << fullSpeed;
    }

    NSWaitingTimeCalculator calculator;  // 32 MHz, full speed until told otherwise
    EXPECT_EQ(calculator.Initialize(0, false), ERR_PARAMETER);
    EXPECT_EQ(calculator.GetBlockEraseTcs3(true), 258U) << "a refused frequency must keep the previous setting";
}

}  // namespace
