// The lines of a text image file (Intel HEX, S-records), taken one record at a
// time: each line that is not empty holds one record, a lead-in of fixed
// length that begins with a fixed character (":", or "S" and the type digit),
// then pairs of hex digits. A UTF-8 byte order mark at the start is passed
// over. A line ends with LF, CR or CRLF (CRs before an LF count as one line
// end); the last may end with none. Problem texts name the line, counted from
// 1, and a stray byte its column.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

class RecordLines {
public:
    // Reads file, whose records begin with cStart and a lead-in of leadInLength characters.
    RecordLines(std::span<const uint8_t> file, char cStart, size_t leadInLength);

    // Whether file is plainly such a text: at least one record, and every line
    // that is not empty a record that next() takes.
    static bool wellFormed(std::span<const uint8_t> file, char cStart, size_t leadInLength);

    // True when nothing but empty lines is left; moves past them.
    bool atEnd();
    // Takes the next record, called only right after atEnd() returned false:
    // its lead-in into *pLeadIn and the bytes its digit pairs give into
    // *pBytes. False, with the problem in *pstrProblem, when the line does not
    // begin with the start character, holds anything but hex digits (the
    // problem then names the byte's line and column) or an odd number of them.
    bool next(std::string_view* pLeadIn, std::vector<uint8_t>* pBytes, std::string* pstrProblem);
    // After an end record: true when nothing but empty lines is left;
    // otherwise false with the problem in *pstrProblem.
    bool endsHere(std::string* pstrProblem);
    // The number of the line last taken (0 before the first).
    uint64_t line() const { return m_dwLine; }
    // "line N: " and strText, N the line last taken.
    std::string problem(const std::string& strText) const;
    // Whether a record's sum byte bGiven is bExpected; false with the problem
    // ("line N: the sum is 3C, it should be 3D") in *pstrProblem.
    bool checkSum(uint8_t bGiven, uint8_t bExpected, std::string* pstrProblem) const;
    // b as two hex digits.
    static std::string hexByte(uint8_t b);
    // The 8-bit sum of the bytes.
    static uint8_t sumOf(std::span<const uint8_t> bytes);

private:
    // The next line without its line end; moves past it and counts it.
    std::string_view takeLine();

    std::string_view m_File;
    size_t m_position = 0;
    char m_cStart;
    size_t m_leadInLength;
    uint64_t m_dwLine = 0;
};
