// The target's silicon signature as a job reads it: its name, code, flash
// sizes and version, and whether an image fits the flashes it gives.
#pragma once

#include <cstdint>
#include <string>

#include "Exchange.h"

// The target's silicon signature, as mode entry read it.
struct DeviceSignature {
    std::string strName;       // the device name: '?' for a byte that is no printable ASCII, padding dropped
    std::string strCode;       // the device code's three bytes in hex: "51 57 01"
    uint64_t dwCodeFlashSize;  // bytes, from address 0
    uint64_t dwDataFlashSize;  // bytes, from 0xF1000; 0 when there is none
    std::string strVersion;    // the firmware version's three bytes in hex

    // From the bytes as received: the device name with '?' for a character
    // other than printable ASCII and the spaces that pad it dropped; the flash
    // sizes from the end addresses (the data flash begins at 0xF1000, and an
    // end address below that means there is none).
    static DeviceSignature of(const _SILICONSIGNATURE& signature);

    // Whether an image of programSize bytes from dwProgramStartAddress and
    // dataSize bytes from dataStartAddress fits the flashes: 0, or
    // ERR_CODE_FLASH_SIZE, ERR_CODE_FLASH_ADDRESS, ERR_DATA_FLASH_SIZE or
    // ERR_DATA_FLASH_ADDRESS.
    uint64_t checkSizeAndAddressRange(uint64_t dwProgramStartAddress, uint64_t programSize, uint64_t dataStartAddress,
                                      uint64_t dataSize) const;
};
