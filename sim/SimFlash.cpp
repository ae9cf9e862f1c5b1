#include "SimFlash.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <numeric>
#include <utility>

#include <unistd.h>

SimFlash::SimFlash(std::string name, uint32_t start, uint32_t size)
    : m_name(std::move(name)), m_start(start), m_bytes(size, 0xFF)
{
}

uint32_t SimFlash::endAddress() const
{
    return m_bytes.empty() ? 0 : m_start + static_cast<uint32_t>(m_bytes.size() - 1);
}

bool SimFlash::contains(uint32_t start, uint32_t end) const
{
    return start <= end && start >= m_start && uint64_t{end} - m_start < m_bytes.size();
}

bool SimFlash::isBlank(uint32_t start, uint32_t end) const
{
    return std::all_of(at(start), at(end) + 1, [](uint8_t byte) { return byte == 0xFF; });
}

void SimFlash::eraseBlock(uint32_t blockStart) { std::fill_n(at(blockStart), BLOCK_SIZE, uint8_t{0xFF}); }

void SimFlash::program(uint32_t address, std::span<const uint8_t> data)
{
    std::transform(data.begin(), data.end(), at(address), at(address),
                   [](uint8_t next, uint8_t old) { return static_cast<uint8_t>(old & next); });
}

uint16_t SimFlash::checksum(uint32_t start, uint32_t end) const
{
    const unsigned total = std::accumulate(at(start), at(end) + 1, 0U);
    return static_cast<uint16_t>(0U - total);
}

void SimFlash::corrupt(uint32_t address) { *at(address) ^= 0x01; }

bool SimFlash::load(const std::string& path, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    const std::vector<uint8_t> content{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) {
        error = "cannot read " + path;
        return false;
    }
    if (content.size() > m_bytes.size()) {
        error = path + " holds " + std::to_string(content.size()) + " bytes, more than the " + m_name + "'s " +
                std::to_string(m_bytes.size());
        return false;
    }
    std::copy(content.begin(), content.end(), m_bytes.begin());
    return true;
}

bool SimFlash::save(const std::string& path, std::string& error) const
{
    const std::string temporary = path + ".tmp." + std::to_string(getpid());
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(m_bytes.data()), static_cast<std::streamsize>(m_bytes.size()));
        out.close();
        if (!out) {
            error = "cannot write " + temporary;
            std::remove(temporary.c_str());
            return false;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot rename " + temporary + " to " + path + ": " + std::strerror(errno);
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}
