#include "IntelHexReader.h"

#include <string_view>
#include <vector>

#include "RecordLines.h"

namespace {

constexpr uint8_t DATA = 0x00;
constexpr uint8_t END_OF_FILE = 0x01;
constexpr uint8_t EXTENDED_SEGMENT_ADDRESS = 0x02;
constexpr uint8_t START_SEGMENT_ADDRESS = 0x03;
constexpr uint8_t EXTENDED_LINEAR_ADDRESS = 0x04;
constexpr uint8_t START_LINEAR_ADDRESS = 0x05;

// Bytes of a record around its data: length, address (2), type, sum.
constexpr size_t FRAMING = 5;

// The data length that a record of each type other than data must have.
size_t lengthOfType(uint8_t bType)
{
    switch (bType) {
    case EXTENDED_SEGMENT_ADDRESS:
    case EXTENDED_LINEAR_ADDRESS: return 2;
    case START_SEGMENT_ADDRESS:
    case START_LINEAR_ADDRESS: return 4;
    default: return 0;  // END_OF_FILE
    }
}

}  // namespace

// Segment addressing (02): a byte's address is the segment's base (the
// record's value times 16) plus its offset. Linear addressing (04): the upper
// 16 bits plus the offset, and a record may run on past the 64 KiB boundary,
// as srec_cat writes them. Without an extended linear address record before
// it (none at all, or a segment one last), a record that runs past the end of
// its 64 KiB, which readers either wrap to its start or run on, is refused
// rather than guessed at.
bool IntelHexReader::read(std::span<const uint8_t> file, MemoryImage* pImage, std::string* pstrProblem)
{
    RecordLines lines(file, ':', 1);
    std::string_view leadIn;
    std::vector<uint8_t> record;
    uint64_t dwBase = 0;
    bool fLinear = false;
    while (!lines.atEnd()) {
        if (!lines.next(&leadIn, &record, pstrProblem)) {
            return false;
        }
        if (record.size() < FRAMING) {
            *pstrProblem = lines.problem("the line is too short for a record");
            return false;
        }
        if (record[0] != record.size() - FRAMING) {
            *pstrProblem = lines.problem("the record says " + std::to_string(record[0]) +
                                         " data bytes, the line holds " + std::to_string(record.size() - FRAMING));
            return false;
        }
        const uint8_t bSum = RecordLines::sumOf(std::span(record).first(record.size() - 1));
        if (!lines.checkSum(record.back(), static_cast<uint8_t>(-bSum), pstrProblem)) {
            return false;
        }
        const uint8_t bType = record[3];
        const std::span<const uint8_t> data = std::span(record).subspan(4, record[0]);
        if (bType > START_LINEAR_ADDRESS) {
            *pstrProblem = lines.problem("record type " + RecordLines::hexByte(bType) + " is not known");
            return false;
        }
        if (bType != DATA && data.size() != lengthOfType(bType)) {
            *pstrProblem =
                lines.problem("a record of type " + RecordLines::hexByte(bType) + " must have " +
                              std::to_string(lengthOfType(bType)) + " data bytes, not " + std::to_string(data.size()));
            return false;
        }
        const uint64_t dwValue = data.size() == 2 ? data[0] * 256U + data[1] : 0;
        if (bType == EXTENDED_SEGMENT_ADDRESS || bType == EXTENDED_LINEAR_ADDRESS) {
            fLinear = bType == EXTENDED_LINEAR_ADDRESS;
            dwBase = fLinear ? dwValue << 16 : dwValue << 4;
        } else if (bType == END_OF_FILE) {
            return lines.endsHere(pstrProblem);
        } else if (bType == DATA) {
            const uint64_t dwOffset = record[1] * 256U + record[2];
            if (!fLinear && dwOffset + data.size() > 0x10000) {
                *pstrProblem = lines.problem(
                    "the record runs past the end of its 64 KiB without an extended linear address record (04) before "
                    "it");
                return false;
            }
            if (!pImage->add(dwBase + dwOffset, data.data(), data.size(), pstrProblem)) {
                *pstrProblem = lines.problem(*pstrProblem);
                return false;
            }
        }
    }
    *pstrProblem =
        "the file ends after line " + std::to_string(lines.line()) + " without an end-of-file record (type 01)";
    return false;
}
