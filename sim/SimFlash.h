// One of the board's flashes, at its place in the board's address space: the
// code flash from 0, the data flash from DATA_FLASH_START. Erased bytes read
// 0xFF, erasing works on whole 1024-byte blocks, and programming can only turn
// 1 bits into 0 bits, so programming over data that was not erased leaves the
// AND of old and new. Every address is the board's, not an offset.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

class SimFlash {
public:
    static constexpr uint32_t BLOCK_SIZE = 1024;
    static constexpr uint32_t DATA_FLASH_START = 0xF1000;

    // A flash of size bytes from address start, all erased; name ("code
    // flash") is what its messages call it.
    SimFlash(std::string name, uint32_t start, uint32_t size);

    // Its last address, or 0 when it has no bytes (as Silicon Signature tells it).
    uint32_t endAddress() const;
    // True when start <= end and the range lies inside the flash.
    bool contains(uint32_t start, uint32_t end) const;
    bool isBlank(uint32_t start, uint32_t end) const;
    // Erases the block that starts at blockStart (a multiple of BLOCK_SIZE inside the flash).
    void eraseBlock(uint32_t blockStart);
    // Programs data from address on; the range must lie inside the flash.
    void program(uint32_t address, std::span<const uint8_t> data);
    // 0 minus the sum of the bytes of the range, modulo 65536.
    uint16_t checksum(uint32_t start, uint32_t end) const;
    // Inverts bit 0 of one byte inside the flash: a cell that did not keep its value.
    void corrupt(uint32_t address);
    std::span<const uint8_t> bytes() const { return m_bytes; }

    // Loads a file into the flash from its start; the rest stays erased.
    // On failure returns false with a message in error and leaves the flash as it was.
    bool load(const std::string& path, std::string& error);
    // Writes the whole flash to path through a temporary file and a rename.
    bool save(const std::string& path, std::string& error) const;

private:
    // Where address lies in m_bytes.
    std::vector<uint8_t>::iterator at(uint32_t address) { return m_bytes.begin() + (address - m_start); }
    std::vector<uint8_t>::const_iterator at(uint32_t address) const { return m_bytes.begin() + (address - m_start); }

    std::string m_name;
    uint32_t m_start;
    std::vector<uint8_t> m_bytes;
};
