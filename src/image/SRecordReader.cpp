#include "SRecordReader.h"

#include <string>
#include <string_view>
#include <vector>

#include "RecordLines.h"

namespace {

enum RecordKind { HEADER, DATA, COUNT, END, UNKNOWN };

struct RecordType {
    RecordKind kind;
    size_t addressLength;  // bytes
};

// S0 to S9; S4 is reserved.
constexpr RecordType TYPES[10] = {{HEADER, 2}, {DATA, 2},  {DATA, 3}, {DATA, 4}, {UNKNOWN, 0},
                                  {COUNT, 2},  {COUNT, 3}, {END, 4},  {END, 3},  {END, 2}};

}  // namespace

bool SRecordReader::read(std::span<const uint8_t> file, MemoryImage* pImage, std::string* pstrProblem)
{
    RecordLines lines(file, 'S', 2);
    std::string_view leadIn;
    std::vector<uint8_t> record;
    uint64_t dwDataRecords = 0;
    bool fCounted = false;  // the last record was a count record
    while (!lines.atEnd()) {
        if (!lines.next(&leadIn, &record, pstrProblem)) {
            return false;
        }
        const RecordType type = leadIn[1] >= '0' && leadIn[1] <= '9' ? TYPES[leadIn[1] - '0'] : RecordType{UNKNOWN, 0};
        if (type.kind == UNKNOWN) {
            *pstrProblem = lines.problem("record type " + std::string(leadIn) + " is not known");
            return false;
        }
        // Count byte, address, data, sum.
        if (record.size() < type.addressLength + 2) {
            *pstrProblem = lines.problem("the line is too short for an " + std::string(leadIn) + " record");
            return false;
        }
        if (record[0] != record.size() - 1) {
            *pstrProblem = lines.problem("the record's count byte says " + std::to_string(record[0]) +
                                         " bytes follow it, the line holds " + std::to_string(record.size() - 1));
            return false;
        }
        const uint8_t bSum = RecordLines::sumOf(std::span(record).first(record.size() - 1));
        if (!lines.checkSum(record.back(), static_cast<uint8_t>(~bSum), pstrProblem)) {
            return false;
        }
        uint64_t dwAddress = 0;
        for (size_t i = 1; i <= type.addressLength; ++i) {
            dwAddress = dwAddress << 8 | record[i];
        }
        const std::span<const uint8_t> data =
            std::span(record).subspan(1 + type.addressLength, record.size() - 2 - type.addressLength);
        if ((type.kind == COUNT || type.kind == END) && !data.empty()) {
            *pstrProblem = lines.problem("an " + std::string(leadIn) + " record carries no data, this one " +
                                         std::to_string(data.size()) + " bytes");
            return false;
        }
        if (type.kind == DATA) {
            ++dwDataRecords;
            if (!pImage->add(dwAddress, data.data(), data.size(), pstrProblem)) {
                *pstrProblem = lines.problem(*pstrProblem);
                return false;
            }
        } else if (type.kind == COUNT && dwAddress != dwDataRecords) {
            *pstrProblem = lines.problem("the count record says " + std::to_string(dwAddress) +
                                         " data records, the file has " + std::to_string(dwDataRecords) + " before it");
            return false;
        } else if (type.kind == END) {
            return lines.endsHere(pstrProblem);
        }
        fCounted = type.kind == COUNT;
    }
    // A file cut short after a whole line would pass for a smaller image.
    if (!fCounted) {
        *pstrProblem = "the file ends after line " + std::to_string(lines.line()) +
                       " without an end record (S7, S8 or S9) or a count record (S5 or S6) last";
    }
    return fCounted;
}
