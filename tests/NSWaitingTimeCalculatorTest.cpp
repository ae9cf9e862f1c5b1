#include "NSWaitingTimeCalculator.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "ResultCodes.h"

namespace {

using Getter = std::function<uint64_t(const NSWaitingTimeCalculator&)>;

struct Case {
    std::string name;
    uint8_t frequency;
    bool fullSpeed;
    Getter get;
    uint64_t expected;
};

void expectAll(const std::vector<Case>& cases)
{
    for (const Case& c : cases) {
        NSWaitingTimeCalculator calculator;
        ASSERT_EQ(calculator.Initialize(c.frequency, c.fullSpeed), RESULT_OK) << c.name;
        EXPECT_EQ(c.get(calculator), c.expected) << c.name << " at " << int(c.frequency) << " MHz"
                                                 << (c.fullSpeed ? ", full speed" : ", not full speed");
    }
}

TEST(NSWaitingTimeCalculatorTest, ValuesAtThirtyTwoMegahertzFullSpeed)
{
    using C = const NSWaitingTimeCalculator&;
    expectAll({
        {"erase, code flash", 32, true, [](C t) { return t.GetBlockEraseTcs3(true); }, 258},
        {"erase, data flash", 32, true, [](C t) { return t.GetBlockEraseTcs3(false); }, 274},
        {"programming Tds5, code flash", 32, true, [](C t) { return t.GetProgrammingTds5(true); }, 176},
        {"programming Tds5, data flash", 32, true, [](C t) { return t.GetProgrammingTds5(false); }, 330},
        {"checksum Tsd10, 0 blocks", 32, true, [](C t) { return t.GetCheckSumTsd10(0); }, 100},
        {"checksum Tsd10, 104 blocks", 32, true, [](C t) { return t.GetCheckSumTsd10(104); }, 100},
        {"checksum Tsd10, 105 blocks", 32, true, [](C t) { return t.GetCheckSumTsd10(105); }, 101},
        {"checksum Tsd10, 256 blocks", 32, true, [](C t) { return t.GetCheckSumTsd10(256); }, 246},
        {"programming Tss5, 1 block", 32, true, [](C t) { return t.GetProgrammingTss5(0, 0x3FF, 1, true); }, 102},
        {"programming Tss5, 32 blocks", 32, true, [](C t) { return t.GetProgrammingTss5(0, 0x7FFF, 32, true); },
         136},
        {"programming Tss5, 256 blocks", 32, true,
         [](C t) { return t.GetProgrammingTss5(0, 0x3FFFF, 256, true); }, 386},
        {"blank check, 1 block", 32, true, [](C t) { return t.GetBlockBlankCheckTcs4(0, 0x3FF, 1, true); }, 100},
    });
    NSWaitingTimeCalculator calculator; // the constructor's setting is 32 MHz, full speed
    EXPECT_EQ(calculator.GetBlockEraseTcs3(true), 258U);
    EXPECT_EQ(calculator.Initialize(0, false), ERR_PARAMETER);
    EXPECT_EQ(calculator.GetBlockEraseTcs3(true), 258U) << "a refused frequency must keep the previous setting";
}

TEST(NSWaitingTimeCalculatorTest, SingleTermGettersAreRaisedToOneHundred)
{
    using C = const NSWaitingTimeCalculator&;
    const std::vector<std::pair<std::string, Getter>> getters = {
        {"reset Tcs1", [](C t) { return t.GetResetTcs1(); }},
        {"programming Tcs5, code flash", [](C t) { return t.GetProgrammingTcs5(true); }},
        {"programming Tcs5, data flash", [](C t) { return t.GetProgrammingTcs5(false); }},
        {"checksum Tcs10, code flash", [](C t) { return t.GetCheckSumTcs10(true); }},
        {"checksum Tcs10, data flash", [](C t) { return t.GetCheckSumTcs10(false); }},
        {"signature Tcs11", [](C t) { return t.GetSiliconSignatureTcs11(); }},
        {"signature Tsd11", [](C t) { return t.GetSiliconSignatureTsd11(); }},
    };
    std::vector<Case> cases;
    for (const uint8_t frequency : {uint8_t{1}, uint8_t{32}, uint8_t{255}}) {
        for (const auto& [name, get] : getters) {
            cases.push_back({name, frequency, frequency != 255, get, 100});
        }
    }
    expectAll(cases);
}

// Expected values worked by hand in microseconds; each comment gives what integer division of K by f or
// rounding to the nearest millisecond would return instead.
TEST(NSWaitingTimeCalculatorTest, OtherFrequenciesAndSpeedModesRoundUp)
{
    using C = const NSWaitingTimeCalculator&;
    expectAll({
        // 67731/16 + 255098 = 259331.1875 -> 260 (nearest: 259)
        {"erase, code flash", 16, true, [](C t) { return t.GetBlockEraseTcs3(true); }, 260},
        // 248862/8 + 299307 = 330414.75 -> 331 (nearest: 330)
        {"erase, data flash", 8, false, [](C t) { return t.GetBlockEraseTcs3(false); }, 331},
        // 113502/20 + 71753 = 77428.1 -> 78 + 100 (nearest: 177)
        {"programming Tds5, code flash", 20, true, [](C t) { return t.GetProgrammingTds5(true); }, 178},
        // 287076/24 + 488315 = 500276.5 -> 501 + 100 (nearest: 600)
        {"programming Tds5, data flash", 24, false, [](C t) { return t.GetProgrammingTds5(false); }, 601},
        // 105 * (30720/24) + 72/24 = 134403 -> 135 (nearest: 134)
        {"checksum Tsd10, 105 blocks", 24, true, [](C t) { return t.GetCheckSumTsd10(105); }, 135},
        // 256 * (4351/12 + 7324) + (1732/12 + 36) + 1 * (184/12 + 44)
        //   = 1967765.333 + 180.333 + 59.333 = 1968005 -> 1969 + 100 (integer K/f: 1967855 -> 2068; nearest: 2068)
        {"programming Tss5, code flash", 12, false,
         [](C t) { return t.GetProgrammingTss5(0, 0x3FFFF, 256, true); }, 2069},
        // 2 * (17403/8 + 29293) + (398/8 + 58) = 62936.75 + 107.75 = 63044.5 -> 64 + 100 (nearest: 163)
        {"programming Tss5, data flash", 8, false, [](C t) { return t.GetProgrammingTss5(0, 0x7FF, 2, false); },
         164},
        // 63 * (1457 + 80) + (3805 + 91) + a * (203 + 18) = 100727 + a * 221: a = 1 -> 101, a = 2 -> 102
        {"blank check, one region", 1, true, [](C t) { return t.GetBlockBlankCheckTcs4(0, 0x3FFFF, 63, true); }, 101},
        {"blank check, two regions", 1, true,
         [](C t) { return t.GetBlockBlankCheckTcs4(0x3FC00, 0x403FF, 63, true); }, 102},
        // 16 * (5035 + 1110) + (2494 + 168) = 100982 -> 101: the data flash has no access term
        {"blank check, data flash", 1, false,
         [](C t) { return t.GetBlockBlankCheckTcs4(0x3FC00, 0x43FFF, 16, false); }, 101},
    });
}

TEST(NSWaitingTimeCalculatorTest, FlashAccessFrequencyCountsTouchedRegions)
{
    const NSWaitingTimeCalculator calculator;
    EXPECT_EQ(calculator.getFlashAccessFrequency(0, 0x3FFFF), 1U);
    EXPECT_EQ(calculator.getFlashAccessFrequency(0x3FFFF, 0x40000), 2U);
    EXPECT_EQ(calculator.getFlashAccessFrequency(0x400, 0x7FF), 1U);
    EXPECT_EQ(calculator.getFlashAccessFrequency(0, 0xFFFFF), 4U);
}

} // namespace
