#include "DeviceSignature.h"

#include <algorithm>
#include <cstdio>

#include "MemoryImage.h"
#include "ResultCodes.h"

namespace {

// Bytes as two-digit hex numbers separated by spaces.
std::string hexBytes(const uint8_t* pbBytes, size_t count)
{
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        char digits[4];
        std::snprintf(digits, sizeof digits, i == 0 ? "%02X" : " %02X", pbBytes[i]);
        text += digits;
    }
    return text;
}

// Joins three address bytes, low byte first, into an address.
uint64_t makeAddress(const uint8_t (&bytes)[3])
{
    return uint64_t{bytes[0]} + uint64_t{bytes[1]} * 0x100 + uint64_t{bytes[2]} * 0x10000;
}

}  // namespace

DeviceSignature DeviceSignature::of(const _SILICONSIGNATURE& signature)
{
    std::string strName(reinterpret_cast<const char*>(signature.DevName));
    std::replace_if(
        strName.begin(), strName.end(), [](char c) { return c < ' ' || c > '~'; }, '?');
    strName.erase(strName.find_last_not_of(' ') + 1);
    const uint64_t dwDataEnd = makeAddress(signature.DataEndAddress);
    return {.strName = strName,
            .strCode = hexBytes(signature.DevCode, 3),
            .dwCodeFlashSize = makeAddress(signature.CodeEndAddress) + 1,
            .dwDataFlashSize =
                dwDataEnd < MemoryImage::DATA_FLASH_START ? 0 : dwDataEnd - (MemoryImage::DATA_FLASH_START - 1),
            .strVersion = hexBytes(signature.FVer, 3)};
}

uint64_t DeviceSignature::checkSizeAndAddressRange(uint64_t dwProgramStartAddress, uint64_t programSize,
                                                   uint64_t dataStartAddress, uint64_t dataSize) const
{
    // A start address must begin a block and leave room for the image.
    if (dwCodeFlashSize < programSize) {
        return ERR_CODE_FLASH_SIZE;
    }
    if (dwProgramStartAddress % MemoryImage::BLOCK_SIZE != 0 || dwProgramStartAddress > dwCodeFlashSize - programSize) {
        return ERR_CODE_FLASH_ADDRESS;
    }
    if (dwDataFlashSize < dataSize) {
        return ERR_DATA_FLASH_SIZE;
    }
    if (dataStartAddress < MemoryImage::DATA_FLASH_START || dataStartAddress % MemoryImage::BLOCK_SIZE != 0 ||
        dataStartAddress - MemoryImage::DATA_FLASH_START > dwDataFlashSize - dataSize) {
        return ERR_DATA_FLASH_ADDRESS;
    }
    return RESULT_OK;
}
