// Reads an ELF executable into a memory image as objcopy -O ihex reads it:
// the contents of every allocated section that has file bytes (not .bss),
// each at its load address, for 32- and 64-bit files of either byte order and
// any machine. A section's load address is the physical address (p_paddr) of
// the loadable segment (PT_LOAD) that holds it, plus its distance into the
// segment's file bytes; a section in no such segment, or in a file whose
// program headers all have physical address 0 over more than one segment,
// loads at its own address (sh_addr). The ELF and program headers that a
// segment may carry before its first section are no part of the image. A file
// without section headers gives the file bytes of its loadable segments at
// their physical addresses.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "MemoryImage.h"

class ElfReader {
public:
    // Puts the bytes of file's sections (or segments) into *pImage. False,
    // with a problem text that names the ELF field or header (and the address,
    // where one is at fault) in *pstrProblem, when the file is no ELF file, its
    // header, a program header or a section header is malformed or reaches
    // past the file's end, or a byte is refused by the image.
    static bool read(std::span<const uint8_t> file, MemoryImage* pImage, std::string* pstrProblem);
};
