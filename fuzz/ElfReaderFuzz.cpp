// ElfReader on arbitrary bytes as an ELF file: no crash, no overflow, and a
// memory image that keeps to the memory map (MemoryImageCheck.h).
#include "ElfReader.h"

#include "MemoryImageCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    MemoryImage image;
    std::string strProblem;
    const bool fRead = ElfReader::read({data, size}, &image, &strProblem);
    checkMemoryImage(fRead, image, strProblem);
    return 0;
}
