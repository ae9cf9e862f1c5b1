#include "CommandCodes.h"

const char* CommandCodes::nameOf(uint8_t bCommand)
{
    switch (bCommand) {
    case CMD_RESET: return "Reset";
    case CMD_BAUD_RATE_SET: return "Baud Rate Set";
    case CMD_SILICON_SIGNATURE: return "Silicon Signature";
    case CMD_BLOCK_ERASE: return "Block Erase";
    case CMD_BLOCK_BLANK_CHECK: return "Block Blank Check";
    case CMD_PROGRAMMING: return "Programming";
    case CMD_CHECKSUM: return "Checksum";
    default: return nullptr;
    }
}
