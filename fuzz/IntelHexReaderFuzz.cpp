// IntelHexReader on arbitrary bytes as an Intel HEX file: no crash, no overflow, and a
// memory image that keeps to the memory map (MemoryImageCheck.h).
#include "IntelHexReader.h"

#include "MemoryImageCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return checkReader(IntelHexReader::read, data, size);
}
