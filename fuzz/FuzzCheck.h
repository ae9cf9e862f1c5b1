// What the fuzz targets check beyond the sanitizers: a property that does not
// hold stops the run with the failed condition, like a crash. Also what more
// than one target takes: reading its input, telling a well-formed frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (false)

// Reads the input front to back; past its end every value is 0.
class Input {
public:
    // Reads the size bytes at data.
    Input(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    // Whether bytes are left.
    bool more() const { return m_pos < m_size; }
    // The next byte, or 0 past the end.
    uint8_t byte() { return more() ? m_data[m_pos++] : 0; }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

// A frame of the boot protocol: start byte, length byte L (256 written as 0),
// L bytes, a sum byte that brings the length byte and the L bytes to 0 mod
// 256, and the end byte.
inline bool isWellFormedFrame(std::span<const uint8_t> frame, uint8_t bStart, uint8_t bEnd)
{
    if (frame.size() < 5 || frame.size() > 260) {
        return false;
    }
    unsigned sum = 0;
    for (size_t i = 1; i + 1 < frame.size(); ++i) {
        sum += frame[i];
    }
    return frame.front() == bStart && frame[1] == static_cast<uint8_t>(frame.size() - 4) && sum % 256 == 0 &&
           frame.back() == bEnd;
}
