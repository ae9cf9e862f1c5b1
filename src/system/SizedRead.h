// Reading a file into memory sized by the file rather than by the most that
// may be read, the same on every system; each system supplies its own read.
#pragma once

#include <algorithm>
#include <cstdint>
#include <new>
#include <vector>

namespace Platform {

// Reads at most capacity bytes through readSome into *pBytes, with room for
// fileSize + 1 bytes at first (the read that finds the end needs that one
// more) and twice the room whenever the file grows while read.
// readSome(pbTo, count) reads at most count bytes into pbTo and returns how
// many, 0 at the end, or less than 0 on failure. False, leaving *pBytes as it
// was, when a read fails or there is no memory for the bytes.
template <typename ReadSome>
bool readSized(uint64_t fileSize, uint64_t capacity, ReadSome readSome, std::vector<uint8_t>* pBytes)
{
    std::vector<uint8_t> bytes;
    uint64_t size = 0;
    try {
        bytes.resize(std::min(capacity, fileSize + 1));
        while (size < capacity) {
            if (size == bytes.size()) {
                bytes.resize(std::min(capacity, 2 * size));
            }
            const int64_t count = readSome(bytes.data() + size, bytes.size() - size);
            if (count < 0) {
                return false;
            }
            if (count == 0) {
                break;
            }
            size += static_cast<uint64_t>(count);
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    bytes.resize(size);
    *pBytes = std::move(bytes);
    return true;
}

}  // namespace Platform
