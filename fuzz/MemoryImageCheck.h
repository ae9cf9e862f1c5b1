// What must hold for any file an image reader is given: a refused file has a
// problem text; from an accepted one, each image lies inside its flash, each
// run of blocks inside its image, beginning on a block boundary, in rising
// order with an untouched block between two runs, the last ending at the
// image's end; and every byte outside the runs is 0xFF. checkReader is a
// reader's whole fuzz target.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "MemoryImage.h"
#include "NSTargetFile.h"
#include "FuzzCheck.h"

inline void checkMemoryImage(bool fRead, const MemoryImage& image, const std::string& strProblem)
{
    if (!fRead) {
        FUZZ_CHECK(!strProblem.empty());
        return;
    }
    for (const bool codeFlash : {true, false}) {
        uint64_t dwSize = 0;
        const std::unique_ptr<uint8_t[]> pbImage = image.image(codeFlash, &dwSize);
        const std::vector<BlockRun> runs = image.runs(codeFlash);
        const uint64_t dwFlashSize =
            codeFlash ? MemoryImage::CODE_FLASH_END : MemoryImage::ADDRESS_END - MemoryImage::DATA_FLASH_START;
        FUZZ_CHECK(dwSize <= dwFlashSize);
        FUZZ_CHECK((pbImage == nullptr) == (dwSize == 0) && runs.empty() == (dwSize == 0));
        uint64_t dwUntouched = 0;  // where the bytes after the last run begin
        for (const BlockRun& run : runs) {
            FUZZ_CHECK(run.dwOffset % MemoryImage::BLOCK_SIZE == 0 && run.dwLength > 0);
            FUZZ_CHECK(run.dwOffset >= dwUntouched + (dwUntouched == 0 ? 0 : MemoryImage::BLOCK_SIZE));
            FUZZ_CHECK(run.dwOffset + run.dwLength <= dwSize);
            FUZZ_CHECK(std::all_of(pbImage.get() + dwUntouched, pbImage.get() + run.dwOffset,
                                   [](uint8_t b) { return b == 0xFF; }));
            dwUntouched = run.dwOffset + run.dwLength;
            FUZZ_CHECK(dwUntouched % MemoryImage::BLOCK_SIZE == 0 || dwUntouched == dwSize);
        }
        FUZZ_CHECK(dwUntouched == dwSize);
    }
}

// Runs read on the bytes as a whole file and checks what it made of them;
// returns 0, as a fuzz target does.
inline int checkReader(NSTargetFile::Reader read, const uint8_t* data, size_t size)
{
    MemoryImage image;
    std::string strProblem;
    const bool fRead = read({data, size}, &image, &strProblem);
    checkMemoryImage(fRead, image, strProblem);
    return 0;
}
