// The boot protocol's command codes, and the name of each as -v shows it.
#pragma once

#include <cstdint>

inline constexpr uint8_t CMD_RESET = 0x00;
inline constexpr uint8_t CMD_BLOCK_ERASE = 0x22;
inline constexpr uint8_t CMD_BLOCK_BLANK_CHECK = 0x32;
inline constexpr uint8_t CMD_PROGRAMMING = 0x40;
inline constexpr uint8_t CMD_BAUD_RATE_SET = 0x9A;
inline constexpr uint8_t CMD_CHECKSUM = 0xB0;
inline constexpr uint8_t CMD_SILICON_SIGNATURE = 0xC0;

// The command code of a record whose job failed before any command exchange
// began (Reset's code is 0, so 0 cannot say it).
inline constexpr uint8_t NO_COMMAND = 0xFF;

namespace CommandCodes {

// The command's name ("Block Blank Check"), or null for a code that is none.
const char* nameOf(uint8_t bCommand);

}  // namespace CommandCodes
