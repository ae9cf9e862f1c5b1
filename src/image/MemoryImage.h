// The bytes an image file gives, collected by address under the target's
// memory map, and the two flash images made of them.
//
// The map: 24-bit addresses; the code flash below 0xF0000, the data flash from
// 0xF1000 to the end of the address space; 0xF0000 to 0xF0FFF belongs to
// neither. Both flashes are written and erased in blocks of 1024 bytes, and
// both begin on a block boundary.
#pragma once

#include <bitset>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

// Consecutive 1024-byte blocks that an image gives bytes in, as an offset and
// a length in bytes into the code image (from address 0) or into the data
// image (from address 0xF1000). dwOffset is a multiple of 1024. The run ends
// at the end of its last block, or at the end of the image where that comes
// first, so that no run reaches past its image. Runs are in rising order and
// never touch each other: between two runs lies at least one block that the
// image gives no byte in. Each block of a run holds at least one given byte;
// its other bytes are 0xFF in the image.
struct BlockRun {
    uint64_t dwOffset;
    uint64_t dwLength;
    bool operator==(const BlockRun&) const = default;
};

class MemoryImage {
public:
    static constexpr uint64_t CODE_FLASH_END = 0xF0000;
    static constexpr uint64_t DATA_FLASH_START = 0xF1000;
    static constexpr uint64_t ADDRESS_END = 0x1000000;
    static constexpr uint64_t BLOCK_SIZE = 1024;

    // Gives dwLength bytes from pbBytes at dwAddress and the addresses after it
    // (any 64-bit address and length, without overflow). A byte given again
    // with the same value is fine. False, with a problem text that names the
    // address in *pstrProblem, when a byte lies outside both flashes or differs
    // from the byte given before at its address; the image is then unusable.
    bool add(uint64_t dwAddress, const uint8_t* pbBytes, uint64_t dwLength, std::string* pstrProblem);
    // True until a byte has been given.
    bool empty() const { return m_Blocks.empty(); }
    // The code image (codeFlash true) or the data image: every address of the
    // flash from its start up to its highest given byte, 0xFF where no byte was
    // given, and its size in *pdwSize. Null and 0 when the flash got no byte,
    // or (with size 0) when there is no memory for it.
    std::unique_ptr<uint8_t[]> image(bool codeFlash, uint64_t* pdwSize) const;
    // The runs of blocks that the code image (codeFlash true) or the data image
    // gives bytes in; none when the flash got no byte.
    std::vector<BlockRun> runs(bool codeFlash) const;
    // The checksum a board reports for dwLength bytes from pbBytes written
    // from the start of a block: the low 16 bits of 0 minus the sum of the
    // bytes, the rest of the last block counted as 0xFF.
    static uint16_t checksumOf(const uint8_t* pbBytes, uint64_t dwLength);
    // dwValue as problem texts show addresses and sizes: "0xF0010".
    static std::string hexText(uint64_t dwValue);

private:
    struct Block {
        uint8_t bytes[BLOCK_SIZE];
        std::bitset<BLOCK_SIZE> given;
    };
    uint64_t end(bool codeFlash) const { return codeFlash ? m_dwCodeEnd : m_dwDataEnd; }

    std::map<uint64_t, Block> m_Blocks;  // by block number (address / 1024)
    uint64_t m_dwCodeEnd = 0;            // highest code address given + 1, or 0
    uint64_t m_dwDataEnd = 0;            // highest data address given + 1 - 0xF1000, or 0
};
