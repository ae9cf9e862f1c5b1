// The board's code flash: erased bytes read 0xFF, erasing works on whole
// 1024-byte blocks, and programming can only turn 1 bits into 0 bits, so
// programming over data that was not erased leaves the AND of old and new.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

class SimFlash {
public:
    static constexpr uint32_t BLOCK_SIZE = 1024;

    // A flash of endAddress + 1 bytes, all erased.
    explicit SimFlash(uint32_t endAddress);

    uint32_t endAddress() const { return static_cast<uint32_t>(m_bytes.size() - 1); }
    // True when start <= end and the range lies inside the flash.
    bool contains(uint32_t start, uint32_t end) const;
    bool isBlank(uint32_t start, uint32_t end) const;
    // Erases the block that starts at blockStart (a multiple of BLOCK_SIZE inside the flash).
    void eraseBlock(uint32_t blockStart);
    // Programs data from address on; the range must lie inside the flash.
    void program(uint32_t address, std::span<const uint8_t> data);
    // 0 minus the sum of the bytes of the range, modulo 65536.
    uint16_t checksum(uint32_t start, uint32_t end) const;
    // Inverts bit 0 of one byte: a cell that did not keep its value.
    void corrupt(uint32_t address);
    std::span<const uint8_t> bytes() const { return m_bytes; }

    // Loads a file into the flash from address 0; the rest stays erased.
    // On failure returns false with a message in error and leaves the flash as it was.
    bool load(const std::string& path, std::string& error);
    // Writes the whole flash to path through a temporary file and a rename.
    bool save(const std::string& path, std::string& error) const;

private:
    std::vector<uint8_t> m_bytes;
};
