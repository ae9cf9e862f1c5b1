#include "SimTimeouts.h"

#include "SimFlash.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace {

constexpr double MHZ = 32.0;  // with K/MHZ a count of clock cycles becomes microseconds
constexpr uint32_t BAUD_RATE_SET_MS = 200;
constexpr uint32_t BLOCK_SIZE = 1024;

struct ExchangeName {
    std::string_view name;
    SimExchange exchange;
};

constexpr std::array<ExchangeName, 11> EXCHANGE_NAMES{{
    {"baud", SimExchange::Baud},
    {"reset", SimExchange::Reset},
    {"signature", SimExchange::Signature},
    {"signature-data", SimExchange::SignatureData},
    {"blank", SimExchange::Blank},
    {"erase", SimExchange::Erase},
    {"program", SimExchange::Program},
    {"data", SimExchange::Data},
    {"completion", SimExchange::Completion},
    {"checksum", SimExchange::Checksum},
    {"checksum-data", SimExchange::ChecksumData},
}};

// Microseconds to whole milliseconds, any fraction rounding up.
uint32_t roundUp(double microseconds) { return static_cast<uint32_t>(std::ceil(microseconds / 1000.0)); }

uint32_t atLeast100(double microseconds) { return std::max<uint32_t>(roundUp(microseconds), 100); }

uint32_t plus100(double microseconds) { return roundUp(microseconds) + 100; }

// 1 KiB blocks that start..end covers.
double blocks(uint32_t start, uint32_t end)
{
    return static_cast<double>((uint64_t{end} - start + BLOCK_SIZE) / BLOCK_SIZE);
}

// 256 KiB regions of the flash that start..end touches.
double regions(uint32_t start, uint32_t end) { return static_cast<double>((end >> 18) - (start >> 18) + 1); }

}  // namespace

std::optional<SimExchange> SimTimeouts::parse(std::string_view name)
{
    for (const ExchangeName& candidate : EXCHANGE_NAMES) {
        if (candidate.name == name) {
            return candidate.exchange;
        }
    }
    return std::nullopt;
}

std::string SimTimeouts::names()
{
    std::string text;
    for (const ExchangeName& candidate : EXCHANGE_NAMES) {
        text += (text.empty() ? "" : ", ") + std::string(candidate.name);
    }
    return text;
}

uint32_t SimTimeouts::allowed(SimExchange exchange, uint32_t start, uint32_t end)
{
    const double n = blocks(start, end);
    // The data flash is slower to erase and program, and its blank check and
    // programming have no term for the 256 KiB regions a range touches.
    const bool code = start < SimFlash::DATA_FLASH_START;
    switch (exchange) {
    case SimExchange::Baud: return BAUD_RATE_SET_MS;
    case SimExchange::Reset: return atLeast100(255 / MHZ);
    case SimExchange::Signature: return atLeast100(111 / MHZ);
    case SimExchange::SignatureData: return atLeast100(512 / MHZ);
    case SimExchange::Blank:
        return code ? atLeast100(n * (1457 / MHZ + 80) + (3805 / MHZ + 91) + regions(start, end) * (203 / MHZ + 18))
                    : atLeast100(n * (5827 / MHZ + 318) + (2503 / MHZ + 86));
    case SimExchange::Erase: return roundUp(code ? 67731 / MHZ + 255098 : 281423 / MHZ + 264790);
    case SimExchange::Program: return atLeast100((code ? 1432 : 346) / MHZ);
    case SimExchange::Data: return plus100(code ? 113502 / MHZ + 71753 : 309870 / MHZ + 219761);
    case SimExchange::Completion:
        return code ? plus100(n * (7096 / MHZ + 892) + (1732 / MHZ + 36) + regions(start, end) * (182 / MHZ + 17))
                    : plus100(n * (28382 / MHZ + 3568) + (397 / MHZ + 30));
    case SimExchange::Checksum: return atLeast100((code ? 203 : 219) / MHZ);
    case SimExchange::ChecksumData: return atLeast100(n * (30720 / MHZ) + 72 / MHZ);
    }
    return 0;
}
