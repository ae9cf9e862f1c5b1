// Reads an ELF executable into a memory image: the file bytes of every
// loadable segment (PT_LOAD) at its physical address (p_paddr), for 32- and
// 64-bit files of either byte order and any machine. What a segment has only
// in memory (p_memsz beyond p_filesz, as .bss) takes no part; other segments
// and the sections are not looked at.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "MemoryImage.h"

class ElfReader {
public:
    // Puts the file bytes of every loadable segment of file into *pImage.
    // False, with a problem text that names the ELF field (and the address,
    // where one is at fault) in *pstrProblem, when the file is no ELF file, its
    // header or a program header is malformed or reaches past the file's end,
    // or a byte is refused by the image.
    static bool read(std::span<const uint8_t> file, MemoryImage* pImage, std::string* pstrProblem);
};
