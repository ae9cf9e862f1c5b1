#include "ResultCodes.h"

#include <gtest/gtest.h>

// The record's texts: a sample with its own spelling, and a code outside the
// table (even one whose low 16 bits name a row). " OK\n" is in every record of
// a job that the sequence tests follow.
TEST(ResultCodes, RecordTexts)
{
    const struct {
        uint64_t code;
        const char* text;
    } rows[] = {
        {.code = 0x200D, .text = " Error\nエラー：Cehcksumコマンドで取得した値とGUIで算出した値が異なる\n"},
        {.code = 0x3007, .text = " Error\nエラー：データ・フラッシュ・メモリの開始アドレスが不正\n"},
        {.code = 0x100002009, .text = " Error\nエラー：不明なエラーが発生しました\n"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(ResultCodes::of(row.code).text, row.text) << std::hex << row.code;
    }
}
