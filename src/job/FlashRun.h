// Consecutive blocks of one flash that a step of a job works on: a run of the
// image with its bytes (the last block counted as padded with 0xFF where they
// end inside it), or for an erase job a whole flash, without bytes.
#pragma once

#include <cstdint>
#include <vector>

#include "JobEvents.h"

class NSTargetFile;

struct FlashRun {
    bool codeFlash;
    uint64_t dwStartAddress;  // the start of a block
    const uint8_t* pbBytes;   // null in an erase job
    uint64_t dwLength;

    uint64_t blocks() const;
    uint64_t endAddress() const;  // the last address of its last block
    FlashRange range() const;
    // 0 minus the sum of its bytes, the last block counted as padded with 0xFF.
    uint16_t checksum() const;

    // The loaded image's runs: those of the code flash, then those of the data flash.
    static std::vector<FlashRun> ofImage(const NSTargetFile& image);
    // Each block of the runs as a run of its own, in order.
    static std::vector<FlashRun> blocksOf(const std::vector<FlashRun>& runs);
    // The ranges of the runs, in order.
    static std::vector<FlashRange> rangesOf(const std::vector<FlashRun>& runs);
    // The bytes of the runs, and the blocks they span.
    static uint64_t bytesIn(const std::vector<FlashRun>& runs);
    static uint64_t blocksIn(const std::vector<FlashRun>& runs);
};
