#include "NSWaitingTimeCalculator.h"

#include <array>
#include <cmath>
#include <limits>

#include "ResultCodes.h"

namespace {

// K/f + t microseconds, f in MHz.
struct Term {
    double dK;
    double dT;
};

// The n × P + Q + a × R shape of the block operations; the data flash has no access term (R = 0).
struct BlockTerms {
    Term P;
    Term Q;
    Term R;
};

// Every table is indexed [speed mode][flash]: full speed first, code flash first.
template <typename T>
using Variants = std::array<std::array<T, 2>, 2>;

constexpr Variants<Term> BLOCK_ERASE_TCS3 = {{
    {{{67731, 255098}, {281423, 264790}}},
    {{{59455, 265331}, {248862, 299307}}},
}};

constexpr Variants<Term> PROGRAMMING_TDS5 = {{
    {{{113502, 71753}, {309870, 219761}}},
    {{{107803, 138891}, {287076, 488315}}},
}};

constexpr Variants<BlockTerms> BLOCK_BLANK_CHECK_TCS4 = {{
    {{{{1457, 80}, {3805, 91}, {203, 18}}, {{5827, 318}, {2503, 86}, {0, 0}}}},
    {{{{1259, 278}, {3799, 134}, {199, 57}}, {{5035, 1110}, {2494, 168}, {0, 0}}}},
}};

constexpr Variants<BlockTerms> PROGRAMMING_TSS5 = {{
    {{{{7096, 892}, {1732, 36}, {182, 17}}, {{28382, 3568}, {397, 30}, {0, 0}}}},
    {{{{4351, 7324}, {1732, 36}, {184, 44}}, {{17403, 29293}, {398, 58}, {0, 0}}}},
}};

// Single-term waits, K/f: code flash first where the flash matters.
constexpr double RESET_TCS1_K = 255;
constexpr std::array<double, 2> PROGRAMMING_TCS5_K = {1432, 346};
constexpr std::array<double, 2> CHECKSUM_TCS10_K = {203, 219};
constexpr double SILICON_SIGNATURE_TCS11_K = 111;
constexpr double SILICON_SIGNATURE_TSD11_K = 512;
constexpr double CHECKSUM_TSD10_PER_BLOCK_K = 30720;
constexpr double CHECKSUM_TSD10_K = 72;

constexpr uint64_t REGION_SHIFT = 18;  // 256 KiB regions
constexpr uint64_t MINIMUM_WAIT = 100;
constexpr uint64_t ADDED_WAIT = 100;

enum class Finishing { Min100, Plus100, None };

// Microseconds to whole milliseconds, rounded up, then the finishing rule.
uint64_t finish(double dMicroseconds, Finishing finishing)
{
    const double dMilliseconds = std::ceil(dMicroseconds / 1000.0);
    // Only absurd block counts come near the limit; keep the conversion defined.
    constexpr uint64_t LIMIT = std::numeric_limits<uint64_t>::max() - ADDED_WAIT;
    const uint64_t milliseconds =
        dMilliseconds >= static_cast<double>(LIMIT) ? LIMIT : static_cast<uint64_t>(dMilliseconds);
    switch (finishing) {
    case Finishing::Min100: return milliseconds < MINIMUM_WAIT ? MINIMUM_WAIT : milliseconds;
    case Finishing::Plus100: return milliseconds + ADDED_WAIT;
    case Finishing::None: break;
    }
    return milliseconds;
}

size_t flashIndex(bool codeFlash) { return codeFlash ? 0 : 1; }

template <typename T>
const T& variant(const Variants<T>& table, bool fullSpeed, bool codeFlash)
{
    return table[fullSpeed ? 0 : 1][flashIndex(codeFlash)];
}

double termValue(const Term& term, double f) { return (term.dK / f) + term.dT; }

// n × P + Q, then plus a × R, where a is the number of regions the range touches.
double blockTime(const BlockTerms& terms, double f, uint64_t blockCount, uint64_t accessCount)
{
    const double dTime = static_cast<double>(blockCount) * termValue(terms.P, f) + termValue(terms.Q, f);
    return dTime + static_cast<double>(accessCount) * termValue(terms.R, f);
}

}  // namespace

NSWaitingTimeCalculator::NSWaitingTimeCalculator() { Initialize(32, true); }

uint64_t NSWaitingTimeCalculator::Initialize(uint8_t bFrequency, bool fullSpeed)
{
    if (bFrequency == 0) {
        return ERR_PARAMETER;
    }
    m_bFrequency = bFrequency;
    m_fFullSpeed = fullSpeed;
    return RESULT_OK;
}

uint64_t NSWaitingTimeCalculator::GetResetTcs1() const { return finish(RESET_TCS1_K / frequency(), Finishing::Min100); }

uint64_t NSWaitingTimeCalculator::GetBlockEraseTcs3(bool codeFlash) const
{
    return finish(termValue(variant(BLOCK_ERASE_TCS3, m_fFullSpeed, codeFlash), frequency()), Finishing::None);
}

uint64_t NSWaitingTimeCalculator::GetBlockBlankCheckTcs4(uint64_t dwStartAddress, uint64_t endAddress,
                                                         uint64_t blockCount, bool codeFlash) const
{
    const BlockTerms& terms = variant(BLOCK_BLANK_CHECK_TCS4, m_fFullSpeed, codeFlash);
    return finish(blockTime(terms, frequency(), blockCount, getFlashAccessFrequency(dwStartAddress, endAddress)),
                  Finishing::Min100);
}

uint64_t NSWaitingTimeCalculator::GetProgrammingTcs5(bool codeFlash) const
{
    return finish(PROGRAMMING_TCS5_K[flashIndex(codeFlash)] / frequency(), Finishing::Min100);
}

uint64_t NSWaitingTimeCalculator::GetProgrammingTds5(bool codeFlash) const
{
    return finish(termValue(variant(PROGRAMMING_TDS5, m_fFullSpeed, codeFlash), frequency()), Finishing::Plus100);
}

uint64_t NSWaitingTimeCalculator::GetProgrammingTss5(uint64_t dwStartAddress, uint64_t endAddress, uint64_t blockCount,
                                                     bool codeFlash) const
{
    const BlockTerms& terms = variant(PROGRAMMING_TSS5, m_fFullSpeed, codeFlash);
    return finish(blockTime(terms, frequency(), blockCount, getFlashAccessFrequency(dwStartAddress, endAddress)),
                  Finishing::Plus100);
}

uint64_t NSWaitingTimeCalculator::GetCheckSumTcs10(bool codeFlash) const
{
    return finish(CHECKSUM_TCS10_K[flashIndex(codeFlash)] / frequency(), Finishing::Min100);
}

uint64_t NSWaitingTimeCalculator::GetCheckSumTsd10(uint64_t dwBlockCount) const
{
    // The per-block quotient is formed first and then multiplied by the block count.
    const double dPerBlock = CHECKSUM_TSD10_PER_BLOCK_K / frequency();
    return finish(static_cast<double>(dwBlockCount) * dPerBlock + (CHECKSUM_TSD10_K / frequency()), Finishing::Min100);
}

uint64_t NSWaitingTimeCalculator::GetSiliconSignatureTcs11() const
{
    return finish(SILICON_SIGNATURE_TCS11_K / frequency(), Finishing::Min100);
}

uint64_t NSWaitingTimeCalculator::GetSiliconSignatureTsd11() const
{
    return finish(SILICON_SIGNATURE_TSD11_K / frequency(), Finishing::Min100);
}

uint64_t NSWaitingTimeCalculator::getFlashAccessFrequency(uint64_t dwStartAddress, uint64_t endAddress) const
{
    return (endAddress >> REGION_SHIFT) - (dwStartAddress >> REGION_SHIFT) + 1;
}

double NSWaitingTimeCalculator::frequency() const { return static_cast<double>(m_bFrequency); }
