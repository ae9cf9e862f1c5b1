#include "ResultCodes.h"

#include <algorithm>
#include <iterator>

namespace {

constexpr ResultCode TABLE[] = {
    // code, record text, meaning for -v[, from a command exchange[, the board differs]]
    {RESULT_OK, " OK\n", "done"},
    {ERR_PORT_INFO, " Error\nエラー：シリアルポート情報の取得失敗\n", "the port's details cannot be read"},
    {ERR_PORT_NOT_SELECTED, " Error\nエラー：シリアルポートが未選択\n", "no port was given"},
    {ERR_PORT_OPEN, " Error\nエラー：シリアルポートのオープンエラー\n", "the port cannot be opened"},
    {ERR_INIT, " Error\nエラー：初期化失敗\n", "memory for the frame buffers is lacking"},
    {ERR_FRAME_FORMAT, " Error\nエラー：フレームフォーマットが不正\n", "the target's answer is malformed", true},
    {ERR_PARAMETER, " Error\nエラー：パラメータが不正\n", "a name or value is too long or out of range", true},
    {ERR_SUM, " Error\nエラー：SUMが不正\n", "the target's answer has a wrong sum byte", true},
    {ERR_SEND, " Error\nエラー：送信失敗\n", "writing to the port failed", true},
    {ERR_RECV_TIMEOUT, " Error\nエラー：受信タイムアウト\n", "the target did not answer in time", true},
    {ERR_SEND_TIMEOUT, " Error\nエラー：送信タイムアウト\n", "sending took too long", true},
    {ERR_COMMAND_FRAME, " Error\nエラー：コマンド・フレームに対する異常終了\n", "the target refused the command", true},
    {ERR_DATA_FRAME, " Error\nエラー：データ・フレームに対する異常終了\n", "the target refused a data frame", true},
    {ERR_MODE_ENTRY_TIMEOUT, " Error\nエラー：モード引き込み処理のタイムアウト\n",
     "the target did not enter programming mode", true},
    {ERR_NOT_BLANK, " Error\nエラー：ブランクではない\n", "a block is still not blank after its erase", true},
    {ERR_BAUD_RATE, " Error\nエラー：ボーレート変更失敗\n", "the port cannot take the new line speed", true},
    {ERR_BUFFER_OVERFLOW, " Error\nエラー：バッファーオーバーフロー\n",
     "the target sent more than the receive buffer holds", true},
    {ERR_CHECKSUM_MISMATCH, " Error\nエラー：Cehcksumコマンドで取得した値とGUIで算出した値が異なる\n",
     "the target's checksum differs from the image's", true, true},
    {ERR_FILE_NOT_FOUND, " Error\nエラー：ファイルが存在しません。\n", "the image file does not exist"},
    {ERR_FILE_FORMAT, " Error\nエラー：未対応形式\n", "the image's format is unknown or its file is malformed"},
    {ERR_FILE_SIZE, " Error\nエラー：ファイルのサイズが不正です。\n",
     "the image gives no byte or its file is too large"},
    {ERR_FILE_READ, " Error\nエラー：ファイルの読みこみに失敗しました。\n",
     "the image is not a regular file or cannot be read"},
    {ERR_CODE_FLASH_SIZE, " Error\nエラー：コード・フラッシュ・メモリのサイズが不正\n",
     "the image is larger than the target's code flash"},
    {ERR_DATA_FLASH_SIZE, " Error\nエラー：データ・フラッシュ・メモリのサイズが不正\n",
     "the data image is larger than the target's data flash"},
    {ERR_CODE_FLASH_ADDRESS, " Error\nエラー：コード・フラッシュ・メモリの開始アドレスが不正\n",
     "the image does not fit the code flash at its address"},
    {ERR_DATA_FLASH_ADDRESS, " Error\nエラー：データ・フラッシュ・メモリの開始アドレスが不正\n",
     "the data image does not fit the data flash at its address"},
};

// ERR_UNKNOWN: every code that the table does not list.
constexpr ResultCode UNKNOWN = {0, " Error\nエラー：不明なエラーが発生しました\n", "an unknown error"};

}  // namespace

const ResultCode& ResultCodes::of(uint64_t dwCode)
{
    const ResultCode* pRow = std::find_if(std::begin(TABLE), std::end(TABLE),
                                          [dwCode](const ResultCode& row) { return row.dwCode == dwCode; });
    return pRow == std::end(TABLE) ? UNKNOWN : *pRow;
}
