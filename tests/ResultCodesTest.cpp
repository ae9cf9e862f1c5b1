#include "ResultCodes.h"

#include <gtest/gtest.h>

// The record's texts: a sample with its own spelling, and a code outside the
// table (even one whose low 16 bits name a row).
TEST(ResultCodes, RecordTexts)
{
    const std::pair<uint64_t, const char*> texts[] = {
        {0x0000, " OK\n"},
        {0x200D, " Error\nエラー：Cehcksumコマンドで取得した値とGUIで算出した値が異なる\n"},
        {0x3007, " Error\nエラー：データ・フラッシュ・メモリの開始アドレスが不正\n"},
        {0x100002009, " Error\nエラー：不明なエラーが発生しました\n"},
    };
    for (const auto& [code, text] : texts) {
        EXPECT_EQ(ResultCodes::of(code).text, text) << std::hex << code;
    }
}
