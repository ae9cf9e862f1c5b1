// Reads an Intel HEX file into a memory image: data records (00) at their
// addresses, extended segment (02) and extended linear (04) address records,
// start address records (03, 05) accepted and ignored, and the end-of-file
// record (01), which must come last. A data record may run past a 64 KiB
// boundary only after an extended linear address record.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "MemoryImage.h"

class IntelHexReader {
public:
    // Puts every data byte of file into *pImage. False, with a problem text
    // that names the line (and the address, where one is at fault) in
    // *pstrProblem, when a record is malformed (its start, digits, length,
    // type or sum), a byte is refused by the image, the end-of-file record is
    // missing or anything but empty lines follows it.
    static bool read(std::span<const uint8_t> file, MemoryImage* pImage, std::string* pstrProblem);
};
