// Reads an S-record file into a memory image: S1, S2 and S3 data records at
// their 16-, 24- and 32-bit addresses; the S0 header ignored; an S5 or S6
// count record checked against the data records before it; an S7, S8 or S9
// record ends the file. A file must end with an end record or, as srec_cat
// writes one without a start address, with a count record: a file cut short
// after a whole line would otherwise pass for a smaller image.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "MemoryImage.h"

class SRecordReader {
public:
    // Puts every data byte of file into *pImage. False, with a problem text
    // that names the line (and the address, where one is at fault) in
    // *pstrProblem, when a record is malformed (its start, type, digits,
    // length or sum), a count record disagrees, a byte is refused by the image,
    // anything but empty lines follows an end record, or the file ends otherwise
    // than with an end or a count record.
    static bool read(std::span<const uint8_t> file, MemoryImage* pImage, std::string* pstrProblem);
};
