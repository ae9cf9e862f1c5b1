#include "FlashRun.h"

#include <algorithm>

#include "MemoryImage.h"
#include "NSTargetFile.h"

uint64_t FlashRun::blocks() const { return (dwLength + MemoryImage::BLOCK_SIZE - 1) / MemoryImage::BLOCK_SIZE; }

uint64_t FlashRun::endAddress() const { return dwStartAddress + blocks() * MemoryImage::BLOCK_SIZE - 1; }

FlashRange FlashRun::range() const { return {codeFlash, dwStartAddress, endAddress()}; }

uint16_t FlashRun::checksum() const { return MemoryImage::checksumOf(pbBytes, dwLength); }

std::vector<FlashRun> FlashRun::ofImage(const NSTargetFile& image)
{
    std::vector<FlashRun> runs;
    for (const BlockRun& run : image.GetProgramRuns()) {
        runs.push_back({true, run.dwOffset, image.GetProgramMemory() + run.dwOffset, run.dwLength});
    }
    for (const BlockRun& run : image.GetDataRuns()) {
        runs.push_back(
            {false, MemoryImage::DATA_FLASH_START + run.dwOffset, image.GetDataFlash() + run.dwOffset, run.dwLength});
    }
    return runs;
}

std::vector<FlashRun> FlashRun::blocksOf(const std::vector<FlashRun>& runs)
{
    std::vector<FlashRun> blocks;
    for (const FlashRun& run : runs) {
        for (uint64_t i = 0; i < run.blocks(); ++i) {
            const uint64_t dwOffset = i * MemoryImage::BLOCK_SIZE;
            blocks.push_back({run.codeFlash, run.dwStartAddress + dwOffset,
                              run.pbBytes == nullptr ? nullptr : run.pbBytes + dwOffset,
                              std::min(MemoryImage::BLOCK_SIZE, run.dwLength - dwOffset)});
        }
    }
    return blocks;
}

std::vector<FlashRange> FlashRun::rangesOf(const std::vector<FlashRun>& runs)
{
    std::vector<FlashRange> ranges;
    for (const FlashRun& run : runs) {
        ranges.push_back(run.range());
    }
    return ranges;
}

uint64_t FlashRun::bytesIn(const std::vector<FlashRun>& runs)
{
    uint64_t dwBytes = 0;
    for (const FlashRun& run : runs) {
        dwBytes += run.dwLength;
    }
    return dwBytes;
}

uint64_t FlashRun::blocksIn(const std::vector<FlashRun>& runs)
{
    uint64_t dwBlocks = 0;
    for (const FlashRun& run : runs) {
        dwBlocks += run.blocks();
    }
    return dwBlocks;
}
