// SRecordReader on arbitrary bytes as an S-record file: no crash, no overflow, and a
// memory image that keeps to the memory map (MemoryImageCheck.h).
#include "SRecordReader.h"

#include "MemoryImageCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return checkReader(SRecordReader::read, data, size);
}
