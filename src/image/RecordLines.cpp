#include "RecordLines.h"

#include <algorithm>
#include <cstdio>

namespace {

// The value of a hex digit, or -1 for any other character.
int digitValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

}  // namespace

RecordLines::RecordLines(std::span<const uint8_t> file, char cStart, size_t leadInLength)
    : m_File(reinterpret_cast<const char*>(file.data()), file.size()), m_cStart(cStart), m_leadInLength(leadInLength)
{
    // A UTF-8 byte order mark, as some editors write one.
    if (m_File.starts_with("\xEF\xBB\xBF")) {
        m_position = 3;
    }
}

bool RecordLines::wellFormed(std::span<const uint8_t> file, char cStart, size_t leadInLength)
{
    RecordLines lines(file, cStart, leadInLength);
    std::string_view leadIn;
    std::vector<uint8_t> record;
    std::string strProblem;
    if (lines.atEnd()) {
        return false;
    }
    while (!lines.atEnd()) {
        if (!lines.next(&leadIn, &record, &strProblem)) {
            return false;
        }
    }
    return true;
}

bool RecordLines::atEnd()
{
    while (m_position < m_File.size()) {
        const size_t start = m_position;
        const uint64_t dwLine = m_dwLine;
        if (!takeLine().empty()) {
            m_position = start;
            m_dwLine = dwLine;
            return false;
        }
    }
    return true;
}

bool RecordLines::next(std::string_view* pLeadIn, std::vector<uint8_t>* pBytes, std::string* pstrProblem)
{
    const std::string_view text = takeLine();
    if (text.size() < m_leadInLength || text[0] != m_cStart) {
        *pstrProblem = problem(std::string("the line does not begin with a record ('") + m_cStart + "')");
        return false;
    }
    const std::string_view digits = text.substr(m_leadInLength);
    pBytes->clear();
    for (size_t i = 0; i < digits.size(); i += 2) {
        const int high = digitValue(digits[i]);
        const int low = i + 1 < digits.size() ? digitValue(digits[i + 1]) : 0;
        if (high < 0 || low < 0) {
            const size_t column = m_leadInLength + i + (high < 0 ? 1 : 2);
            *pstrProblem = "line " + std::to_string(m_dwLine) + ", column " + std::to_string(column) + ": byte " +
                           hexByte(static_cast<uint8_t>(text[column - 1])) + " is no hex digit";
            return false;
        }
        pBytes->push_back(static_cast<uint8_t>(high * 16 + low));
    }
    if (digits.size() % 2 != 0) {
        *pstrProblem = problem("the record has an odd number of hex digits");
        return false;
    }
    *pLeadIn = text.substr(0, m_leadInLength);
    return true;
}

bool RecordLines::endsHere(std::string* pstrProblem)
{
    if (atEnd()) {
        return true;
    }
    takeLine();
    *pstrProblem = problem("the line follows the end record");
    return false;
}

std::string RecordLines::problem(const std::string& strText) const
{
    return "line " + std::to_string(m_dwLine) + ": " + strText;
}

bool RecordLines::checkSum(uint8_t bGiven, uint8_t bExpected, std::string* pstrProblem) const
{
    if (bGiven == bExpected) {
        return true;
    }
    *pstrProblem = problem("the sum is " + hexByte(bGiven) + ", it should be " + hexByte(bExpected));
    return false;
}

std::string RecordLines::hexByte(uint8_t b)
{
    char text[4];
    std::snprintf(text, sizeof text, "%02X", b);
    return text;
}

uint8_t RecordLines::sumOf(std::span<const uint8_t> bytes)
{
    unsigned sum = 0;
    for (const uint8_t b : bytes) {
        sum += b;
    }
    return static_cast<uint8_t>(sum);
}

// A line ends with LF, with CR, or with CRs and an LF (CRLF, and the CR CR LF
// of a CRLF file that was written as text once more): one line end each.
std::string_view RecordLines::takeLine()
{
    const size_t end = std::min(m_File.find_first_of("\r\n", m_position), m_File.size());
    const std::string_view text = m_File.substr(m_position, end - m_position);
    m_position = std::min(m_File.find_first_not_of('\r', end), m_File.size());
    if (m_position < m_File.size() && m_File[m_position] == '\n') {
        ++m_position;
    }
    ++m_dwLine;
    return text;
}
