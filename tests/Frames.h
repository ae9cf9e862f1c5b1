// The boot protocol's frames as the tests write them, apart from the
// program's builder and from the simulated board's codec, so that a mistake
// in either cannot hide in the bytes a test expects.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <numeric>
#include <vector>

using Bytes = std::vector<uint8_t>;

// The two byte strings one after the other, appended byte by byte (as in
// addresses): GCC 12 at -O3 takes a range insert into a vector that may be
// empty for a copy out of bounds (-Warray-bounds, -Wstringop-overflow).
inline Bytes operator+(Bytes first, const Bytes& second)
{
    first.reserve(first.size() + second.size());
    for (const uint8_t byte : second) {
        first.push_back(byte);
    }
    return first;
}

// Start byte, length (256 as 0), body, the sum of length and body, end byte.
inline Bytes frame(uint8_t start, const Bytes& body, uint8_t end = 0x03)
{
    const auto sum = static_cast<uint8_t>(0 - std::accumulate(body.begin(), body.end(), body.size()));
    return Bytes{start, static_cast<uint8_t>(body.size())} + body + Bytes{sum, end};
}

// A command frame: its code and parameters.
inline Bytes command(uint8_t code, const Bytes& parameters = {}) { return frame(0x01, Bytes{code} + parameters); }

// A data frame; ETB ends all but the last of a transfer.
inline Bytes dataFrame(const Bytes& data, bool last = true) { return frame(0x02, data, last ? 0x03 : 0x17); }

// A status frame of one status byte.
inline Bytes status(uint8_t st1) { return dataFrame({st1}); }

// Three bytes per address, low byte first.
inline Bytes addresses(std::initializer_list<uint32_t> list)
{
    Bytes bytes;
    for (const uint32_t a : list) {
        for (const int shift : {0, 8, 16}) {
            bytes.push_back(static_cast<uint8_t>(a >> shift));
        }
    }
    return bytes;
}
