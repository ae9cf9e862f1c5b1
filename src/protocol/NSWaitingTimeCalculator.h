// Timing model of the boot protocol: the longest time, in whole milliseconds,
// that the host waits for the target's next frame in each exchange.
#pragma once

#include <cstdint>

class NSWaitingTimeCalculator {
public:
    // 32 MHz, full speed: the only setting the program uses.
    NSWaitingTimeCalculator();

    // Refuses a frequency of 0 with ERR_PARAMETER and keeps the previous setting.
    uint64_t Initialize(uint8_t bFrequency, bool fullSpeed);

    // Each gives one exchange's timeout in ms (codeFlash: of the code flash, else the data flash).
    // The status that answers Reset.
    uint64_t GetResetTcs1() const;
    // The status that answers Block Erase of one block.
    uint64_t GetBlockEraseTcs3(bool codeFlash) const;
    // The status that answers Block Blank Check of blockCount blocks from dwStartAddress to endAddress.
    uint64_t GetBlockBlankCheckTcs4(uint64_t dwStartAddress, uint64_t endAddress, uint64_t blockCount,
                                    bool codeFlash) const;
    // The status that answers Programming.
    uint64_t GetProgrammingTcs5(bool codeFlash) const;
    // The status that answers a data frame.
    uint64_t GetProgrammingTds5(bool codeFlash) const;
    // The completion status after the last data frame of blockCount blocks of the range.
    uint64_t GetProgrammingTss5(uint64_t dwStartAddress, uint64_t endAddress, uint64_t blockCount,
                                bool codeFlash) const;
    // The status that answers Checksum.
    uint64_t GetCheckSumTcs10(bool codeFlash) const;
    // The checksum data of dwBlockCount blocks.
    uint64_t GetCheckSumTsd10(uint64_t dwBlockCount) const;
    // The status that answers Silicon Signature.
    uint64_t GetSiliconSignatureTcs11() const;
    // The signature data.
    uint64_t GetSiliconSignatureTsd11() const;

    // Number of 256 KiB regions that the range touches.
    uint64_t getFlashAccessFrequency(uint64_t dwStartAddress, uint64_t endAddress) const;

private:
    double frequency() const;

    uint64_t m_bFrequency = 32;
    bool m_fFullSpeed = true;
};
