// ElfReader on arbitrary bytes as an ELF file: no crash, no overflow, and a
// memory image that keeps to the memory map (MemoryImageCheck.h).
#include "ElfReader.h"

#include "MemoryImageCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return checkReader(ElfReader::read, data, size);
}
