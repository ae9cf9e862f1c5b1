#include "MemoryImage.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <optional>

namespace {

// The lowest address from dwAddress on, among dwLength >= 1 of them, that lies
// in neither flash; none when all lie in one.
std::optional<uint64_t> firstOutside(uint64_t dwAddress, uint64_t dwLength)
{
    if (dwAddress < MemoryImage::CODE_FLASH_END) {
        if (dwLength <= MemoryImage::CODE_FLASH_END - dwAddress) {
            return std::nullopt;
        }
        return MemoryImage::CODE_FLASH_END;
    }
    if (dwAddress < MemoryImage::DATA_FLASH_START) {
        return dwAddress;
    }
    if (dwAddress < MemoryImage::ADDRESS_END && dwLength <= MemoryImage::ADDRESS_END - dwAddress) {
        return std::nullopt;
    }
    return std::max(dwAddress, MemoryImage::ADDRESS_END);
}

}  // namespace

bool MemoryImage::add(uint64_t dwAddress, const uint8_t* pbBytes, uint64_t dwLength, std::string* pstrProblem)
{
    if (dwLength == 0) {
        return true;
    }
    if (const std::optional<uint64_t> outside = firstOutside(dwAddress, dwLength)) {
        *pstrProblem = "address " + hexText(*outside) + " is outside both flashes";
        return false;
    }
    // From here on every address fits in 24 bits. One block at a time.
    for (uint64_t i = 0; i < dwLength;) {
        const uint64_t dwBlockAddress = dwAddress + i;
        auto [entry, fNew] = m_Blocks.try_emplace(dwBlockAddress / BLOCK_SIZE);
        Block& block = entry->second;
        if (fNew) {
            std::fill(std::begin(block.bytes), std::end(block.bytes), uint8_t{0xFF});
        }
        const uint64_t dwChunkEnd = i + std::min(dwLength - i, BLOCK_SIZE - dwBlockAddress % BLOCK_SIZE);
        for (size_t index = dwBlockAddress % BLOCK_SIZE; i < dwChunkEnd; ++i, ++index) {
            if (block.given[index] && block.bytes[index] != pbBytes[i]) {
                char text[96];
                std::snprintf(text, sizeof text, "address %s is given twice, as %02X and as %02X",
                              hexText(dwAddress + i).c_str(), block.bytes[index], pbBytes[i]);
                *pstrProblem = text;
                return false;
            }
            block.bytes[index] = pbBytes[i];
            block.given[index] = true;
        }
    }
    const uint64_t dwLast = dwAddress + dwLength - 1;
    if (dwLast < CODE_FLASH_END) {
        m_dwCodeEnd = std::max(m_dwCodeEnd, dwLast + 1);
    } else {
        m_dwDataEnd = std::max(m_dwDataEnd, dwLast + 1 - DATA_FLASH_START);
    }
    return true;
}

std::unique_ptr<uint8_t[]> MemoryImage::image(bool codeFlash, uint64_t* pdwSize) const
{
    *pdwSize = 0;
    const uint64_t dwSize = end(codeFlash);
    if (dwSize == 0) {
        return nullptr;
    }
    std::unique_ptr<uint8_t[]> pbImage(new (std::nothrow) uint8_t[dwSize]);
    if (pbImage == nullptr) {
        return nullptr;
    }
    std::fill_n(pbImage.get(), dwSize, uint8_t{0xFF});
    const uint64_t dwStart = codeFlash ? 0 : DATA_FLASH_START;
    for (const auto& [dwBlock, block] : m_Blocks) {
        if ((dwBlock * BLOCK_SIZE < CODE_FLASH_END) == codeFlash) {
            const uint64_t dwOffset = dwBlock * BLOCK_SIZE - dwStart;
            std::copy_n(block.bytes, std::min(BLOCK_SIZE, dwSize - dwOffset), pbImage.get() + dwOffset);
        }
    }
    *pdwSize = dwSize;
    return pbImage;
}

std::vector<BlockRun> MemoryImage::runs(bool codeFlash) const
{
    const uint64_t dwStart = codeFlash ? 0 : DATA_FLASH_START;
    const uint64_t dwSize = end(codeFlash);
    std::vector<BlockRun> runs;
    for (const auto& entry : m_Blocks) {
        if ((entry.first * BLOCK_SIZE < CODE_FLASH_END) != codeFlash) {
            continue;
        }
        const uint64_t dwOffset = entry.first * BLOCK_SIZE - dwStart;
        const uint64_t dwBlockEnd = std::min(dwOffset + BLOCK_SIZE, dwSize);
        if (!runs.empty() && runs.back().dwOffset + runs.back().dwLength == dwOffset) {
            runs.back().dwLength = dwBlockEnd - runs.back().dwOffset;
        } else {
            runs.push_back({dwOffset, dwBlockEnd - dwOffset});
        }
    }
    return runs;
}

uint16_t MemoryImage::checksumOf(const uint8_t* pbBytes, uint64_t dwLength)
{
    uint32_t dwSum = 0;
    for (uint64_t i = 0; i < dwLength; ++i) {
        dwSum -= pbBytes[i];
    }
    const uint64_t dwRest = dwLength % BLOCK_SIZE;
    if (dwRest != 0) {
        dwSum -= static_cast<uint32_t>((BLOCK_SIZE - dwRest) * 0xFF);
    }
    return static_cast<uint16_t>(dwSum);
}

std::string MemoryImage::hexText(uint64_t dwValue)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(dwValue));
    return text;
}
