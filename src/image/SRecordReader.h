// Reads an S-record file into a memory image: S1, S2 and S3 data records at
// their 16-, 24- and 32-bit addresses; the S0 header ignored; an S5 or S6
// count record checked against the data records before it; an S7, S8 or S9
// record ends the file. The end record may be missing, as some tools write
// none without a start address.
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
    // length or sum), a count record disagrees, a byte is refused by the image
    // or anything but empty lines follows an end record.
    static bool read(std::span<const uint8_t> file, MemoryImage* pImage, std::string* pstrProblem);
};
