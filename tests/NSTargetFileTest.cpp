// The loader on image files that real tools made at build time
// (tests/make-images: srec_cat, objcopy, ld), compared with the raw images
// that the same tools filled.
#include "NSTargetFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ResultCodes.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Runs = std::vector<BlockRun>;

const std::filesystem::path IMAGES = QUENWICK_TEST_IMAGES;

Bytes contents(const std::string& name)
{
    std::ifstream file(IMAGES / name, std::ios::binary);
    return name.empty() ? Bytes() : Bytes(std::istreambuf_iterator<char>(file), {});
}

Bytes bytes(const uint8_t* pbImage, uint64_t dwSize) { return pbImage ? Bytes(pbImage, pbImage + dwSize) : Bytes(); }

// Each format gives the bytes of the raw image (code, from address 0) and of
// the raw data image (from 0xF1000) that srec_cat filled with 0xFF, and the
// runs of blocks it touches. The ELF files have a .bss after the code and
// their data at a physical address other than the virtual one. (A raw binary
// the end-to-end jobs write and read back, up to the largest.)
TEST(NSTargetFileTest, LoadsEveryFormatIntoTheMemoryMap)
{
    const Runs dense = {{.dwOffset = 0, .dwLength = 72000}};
    const Runs sketch = {{.dwOffset = 0, .dwLength = 3000}};
    // The table is laid out by hand, between clang-format off and on:
    // clang-format would give each field of the sparse image's row a line of its own.
    // clang-format off
    const struct {
        std::string file, code = "", data = "";  // the raw images, "" for none
        Runs codeRuns = {}, dataRuns = {};
    } rows[] = {
        {.file = "dense-linear.hex", .code = "dense.bin", .codeRuns = dense},
        {.file = "dense-segment.IHEX", .code = "dense.bin", .codeRuns = dense},
        {.file = "dense.ihx", .code = "dense.bin", .codeRuns = dense},
        {.file = "sketch.s19", .code = "sketch.bin", .codeRuns = sketch},
        {.file = "dense.s28", .code = "dense.bin", .codeRuns = dense},
        {.file = "dense.S37", .code = "dense.bin", .codeRuns = dense},
        {.file = "dense.srec", .code = "dense.bin", .codeRuns = dense},
        {.file = "dense.mot", .code = "dense.bin", .codeRuns = dense},
        {.file = "same.elf", .code = "dense.bin", .codeRuns = dense},
        {.file = "both.hex", .code = "dense.bin", .data = "sketch.bin", .codeRuns = dense, .dataRuns = sketch},
        {.file = "both.elf", .code = "dense.bin", .data = "sketch.bin", .codeRuns = dense, .dataRuns = sketch},
        {.file = "both32.ABS", .code = "dense.bin", .data = "sketch.bin", .codeRuns = dense, .dataRuns = sketch},
        {.file = "both-big.out", .code = "dense.bin", .data = "sketch.bin", .codeRuns = dense, .dataRuns = sketch},
        {.file = "both32-big.elf", .code = "dense.bin", .data = "sketch.bin", .codeRuns = dense, .dataRuns = sketch},
        {.file = "data.sx", .data = "data-data.bin", .dataRuns = {{.dwOffset = 0x800, .dwLength = 0x100 + 3000}}},
        {.file = "sparse.ihex", .code = "sparse-code.bin", .codeRuns = {{.dwOffset = 0, .dwLength = 3072},
                                                                        {.dwOffset = 0x10400, .dwLength = 3072},
                                                                        {.dwOffset = 0xEF400, .dwLength = 3072}}},
    };
    // clang-format on
    NSTargetFile target;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.file);
        ASSERT_EQ(target.ReadFile((IMAGES / row.file).string()), RESULT_OK) << target.GetProblemText();
        EXPECT_EQ(bytes(target.GetProgramMemory(), target.GetProgramMemorySize()), contents(row.code));
        EXPECT_EQ(bytes(target.GetDataFlash(), target.GetDataSize()), contents(row.data));
        EXPECT_EQ(target.GetProgramRuns(), row.codeRuns);
        EXPECT_EQ(target.GetDataRuns(), row.dataRuns);
    }
}

// A refused file leaves a problem text that names the line or the ELF field
// and the address; one refused after reading leaves no image, one refused by
// its name keeps the image loaded before.
TEST(NSTargetFileTest, RefusesBadFilesSayingWhere)
{
    const struct {
        std::string file, problem;
        uint64_t result = ERR_FILE_FORMAT;
    } rows[] = {
        {.file = "badsum.hex", .problem = "line 3: the sum is 00, it should be DA"},
        {.file = "badlength.s28",
         .problem = "line 3: the record's count byte says 37 bytes follow it, the line holds 36"},
        {.file = "lost.s19", .problem = "line 95: the count record says 94 data records, the file has 93 before it"},
        {.file = "cut.hex", .problem = "line 14: the record has an odd number of hex digits"},
        {.file = "cutline.hex", .problem = "the file ends after line 10 without an end-of-file record (type 01)"},
        {.file = "cutline.s28",
         .problem =
             "the file ends after line 10 without an end record (S7, S8 or S9) or a count record (S5 or S6) last"},
        {.file = "twice.s19", .problem = "line 98: the line follows the end record"},
        {.file = "twice.hex", .problem = "line 2: the line follows the end record"},
        {.file = "overlap.hex", .problem = "line 4503: address 0x400 is given twice, as C9 and as 23"},
        {.file = "overlap.elf",
         .problem = "program header 1 (p_paddr 0x400): address 0x400 is given twice, as C9 and as 23"},
        {.file = "gap.hex", .problem = "line 2: address 0xF0010 is outside both flashes"},
        {.file = "past24.s37", .problem = "line 10: address 0x1000000 is outside both flashes"},
        {.file = "high.elf",
         .problem = "program header 1 (p_paddr 0xFFFF00): address 0x1000000 is outside both flashes"},
        {.file = "cut.elf",
         .problem = "program header 0: p_offset 0x1000 and p_filesz 0x11940 reach past the file's end (0x2710 bytes)"},
        {.file = "notelf.elf", .problem = "the file is no ELF file: it does not begin with 7F 45 4C 46"},
        {.file = "sketch.bin.bak",
         .problem = "the extension is none of .bin .hex .ihex .ihx .mot .srec .s19 .s28 .s37 .sx .elf .abs .out"},
        {.file = "nothing.hex", .problem = "the file gives no byte", .result = ERR_FILE_SIZE},
        {.file = "toolarge.bin", .problem = "the file is larger than 262144 bytes", .result = ERR_FILE_SIZE},
        {.file = "empty.bin", .problem = "the file is empty", .result = ERR_FILE_SIZE},
        {.file = "directory.bin", .problem = "it is a directory", .result = ERR_FILE_NOT_FOUND},
        {.file = "missing.hex", .problem = "there is no such file", .result = ERR_FILE_NOT_FOUND},
    };
    NSTargetFile target;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.file);
        ASSERT_EQ(target.ReadFile((IMAGES / "both.hex").string()), RESULT_OK);
        EXPECT_EQ(target.ReadFile((IMAGES / row.file).string()), row.result);
        EXPECT_EQ(target.GetProblemText(), row.problem);
        const bool fRead = row.result != ERR_FILE_NOT_FOUND && row.file != "sketch.bin.bak";
        EXPECT_EQ(target.GetProgramMemorySize() + target.GetDataSize(), fRead ? 0 : 72000 + 3000);
        EXPECT_EQ(target.GetProgramRuns().size() + target.GetDataRuns().size(), fRead ? 0 : 2);
    }
}

}  // namespace
