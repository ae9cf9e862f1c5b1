// All the timing of the boot protocol: the fixed waits and line speeds, and
// the timing model that gives the longest time, in whole milliseconds, that
// the host waits for the target's next frame in each exchange.
#pragma once

#include <cstdint>

#include "SerialDevice.h"

class NSWaitingTimeCalculator {
public:
    // The fixed waits, in ms.
    static constexpr uint64_t SEND_WAIT = 1;                // before each frame, and between line changes in mode entry
    static constexpr uint64_t RETRY_WAIT_TIME = 100;        // after an attempt that failed
    static constexpr uint64_t BAUD_RATE_SET_TIMEOUT = 200;  // the status that answers Baud Rate Set
    // Baud Rate Set must leave within this many ms of DTR returning to idle.
    static constexpr uint64_t MODE_ENTRY_WINDOW = 100;
    // After a frame went out more than once, the line must be quiet this many
    // times the longest wait of such an exchange before the job proves its
    // result again: an answer ten times later than the target may take it.
    static constexpr uint64_t QUIET_FACTOR = 10;
    // The line speeds in bits per second, each at the index of its Baud Rate
    // Set code.
    static constexpr uint64_t LINE_SPEEDS[] = {115200, 250000, 500000, 1000000};
    // The line as the port opens for mode entry: the first speed, 8 data bits,
    // no parity, 2 stop bits.
    static constexpr LineFormat MODE_ENTRY_LINE = {.dwBaudRate = LINE_SPEEDS[0], .bDataBits = 8, .bStopBits = 2};

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
