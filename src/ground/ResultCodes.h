// The result codes shared by every unit, and the one table of what belongs to
// each: the text the sequence's record gives it, what -v says it means, and
// how the command line tells it. Every operation that can fail returns a code;
// 0 is success. All values fit in 16 bits.
#pragma once

#include <cstdint>
#include <string_view>

inline constexpr uint64_t RESULT_OK = 0x0000;

// Nothing in this program produces ERR_PORT_INFO or ERR_SEND_TIMEOUT, and
// ERR_BUFFER_OVERFLOW never leaves the port (a chunk that does not fit in the
// receive buffer is dropped, and the job goes on): they stay for their rows in
// the table, whose record texts are part of the record.
inline constexpr uint64_t ERR_PORT_INFO = 0x1000;
inline constexpr uint64_t ERR_PORT_NOT_SELECTED = 0x1001;
inline constexpr uint64_t ERR_PORT_OPEN = 0x1002;

inline constexpr uint64_t ERR_INIT = 0x2000;
inline constexpr uint64_t ERR_FRAME_FORMAT = 0x2001;
inline constexpr uint64_t ERR_PARAMETER = 0x2002;
inline constexpr uint64_t ERR_SUM = 0x2003;
inline constexpr uint64_t ERR_SEND = 0x2004;
inline constexpr uint64_t ERR_RECV_TIMEOUT = 0x2005;
inline constexpr uint64_t ERR_SEND_TIMEOUT = 0x2006;
inline constexpr uint64_t ERR_COMMAND_FRAME = 0x2007;
inline constexpr uint64_t ERR_DATA_FRAME = 0x2008;
inline constexpr uint64_t ERR_MODE_ENTRY_TIMEOUT = 0x2009;
inline constexpr uint64_t ERR_NOT_BLANK = 0x200A;
inline constexpr uint64_t ERR_BAUD_RATE = 0x200B;
inline constexpr uint64_t ERR_BUFFER_OVERFLOW = 0x200C;
inline constexpr uint64_t ERR_CHECKSUM_MISMATCH = 0x200D;

inline constexpr uint64_t ERR_FILE_NOT_FOUND = 0x3000;
inline constexpr uint64_t ERR_FILE_FORMAT = 0x3001;
inline constexpr uint64_t ERR_FILE_SIZE = 0x3002;
inline constexpr uint64_t ERR_FILE_READ = 0x3003;
inline constexpr uint64_t ERR_CODE_FLASH_SIZE = 0x3004;
inline constexpr uint64_t ERR_DATA_FLASH_SIZE = 0x3005;
inline constexpr uint64_t ERR_CODE_FLASH_ADDRESS = 0x3006;
inline constexpr uint64_t ERR_DATA_FLASH_ADDRESS = 0x3007;

// Everything that belongs to one result code.
struct ResultCode {
    uint64_t dwCode;
    std::string_view text;       // the record's text: " OK\n", or " Error\n", "エラー：" and what failed
    const char* pszMeaning;      // what -v says the code means, where no reason of the job's says more
    bool fInExchange = false;    // it comes from a command exchange: -v names the command and its attempt
    bool fBoardDiffers = false;  // the board was read and does not hold the image: a verify says MISMATCH
};

namespace ResultCodes {

// The row of dwCode; a code that has none gets the row of ERR_UNKNOWN (" Error\n...不明な...").
const ResultCode& of(uint64_t dwCode);

}  // namespace ResultCodes
