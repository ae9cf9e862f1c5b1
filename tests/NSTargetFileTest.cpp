// The loader on image files that real tools made at build time
// (tests/make-images: srec_cat, objcopy, ld), compared with the raw images
// that the same tools filled.
#include "NSTargetFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "CommandLine.h"
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

std::string contents(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

Bytes bytes(const uint8_t* pbImage, uint64_t dwSize) { return pbImage ? Bytes(pbImage, pbImage + dwSize) : Bytes(); }

// The images and runs of the file at path.
struct Loaded {
    Bytes code, data;
    Runs codeRuns, dataRuns;
    bool operator==(const Loaded&) const = default;
};
Loaded load(NSTargetFile* pTarget, const std::filesystem::path& path)
{
    EXPECT_EQ(pTarget->ReadFile(path.string()), RESULT_OK) << path << ": " << pTarget->GetProblemText();
    return {bytes(pTarget->GetProgramMemory(), pTarget->GetProgramMemorySize()),
            bytes(pTarget->GetDataFlash(), pTarget->GetDataSize()), pTarget->GetProgramRuns(), pTarget->GetDataRuns()};
}

// Each format gives the bytes of the raw image (code, from address 0) and of
// the raw data image (from 0xF1000) that srec_cat filled with 0xFF, and the
// runs of blocks it touches; a file with no known extension is read as what
// its content is; HEX and S-records with a byte order mark and any line ends.
// The ELF files have a .bss after the code and their data at a physical
// address other than the virtual one; each ELF gives what objcopy -O ihex
// gives of it (`hex`): its sections, not the headers that a segment carries
// (boot.elf), or its segments where it has no section headers. (A raw binary
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
        std::string hex = "";  // a HEX file that gives the same
    } rows[] = {
        {.file = "dense-linear.hex", .code = "dense.bin", .codeRuns = dense},
        {.file = "dense-segment.IHEX", .code = "dense.bin", .codeRuns = dense},
        {.file = "dense.ihx", .code = "dense.bin", .codeRuns = dense},
        {.file = "sketch.s19", .code = "sketch.bin", .codeRuns = sketch},
        {.file = "dense.s28", .code = "dense.bin", .codeRuns = dense},
        {.file = "dense.S37", .code = "dense.bin", .codeRuns = dense},
        {.file = "dense.srec", .code = "dense.bin", .codeRuns = dense},
        {.file = "dense.mot", .code = "dense.bin", .codeRuns = dense},
        {.file = "same.elf", .code = "dense.bin", .codeRuns = dense, .hex = "same.elf.hex"},
        {.file = "both.hex", .code = "dense.bin", .data = "sketch.bin", .codeRuns = dense, .dataRuns = sketch},
        {.file = "both.elf", .code = "dense.bin", .data = "sketch.bin", .codeRuns = dense, .dataRuns = sketch,
         .hex = "both.elf.hex"},
        {.file = "both32.ABS", .code = "dense.bin", .data = "sketch.bin", .codeRuns = dense, .dataRuns = sketch,
         .hex = "both32.ABS.hex"},
        {.file = "both-big.out", .code = "dense.bin", .data = "sketch.bin", .codeRuns = dense, .dataRuns = sketch,
         .hex = "both-big.out.hex"},
        {.file = "both32-big.elf", .code = "dense.bin", .data = "sketch.bin", .codeRuns = dense, .dataRuns = sketch,
         .hex = "both32-big.elf.hex"},
        {.file = "both.axf", .code = "dense.bin", .data = "sketch.bin", .codeRuns = dense, .dataRuns = sketch,
         .hex = "both.axf.hex"},
        {.file = "nosections.elf", .code = "dense.bin", .data = "sketch.bin", .codeRuns = dense, .dataRuns = sketch,
         .hex = "both.elf.hex"},
        {.file = "boot.elf", .hex = "boot.elf.hex"},
        {.file = "firmware", .hex = "firmware.hex"},
        {.file = "dense-linear", .code = "dense.bin", .codeRuns = dense},
        {.file = "sketch-s19.txt", .code = "sketch.bin", .codeRuns = sketch},
        {.file = "bom.hex", .code = "dense.bin", .codeRuns = dense},
        {.file = "cr.s19", .code = "sketch.bin", .codeRuns = sketch},
        {.file = "crcrlf.hex", .code = "dense.bin", .codeRuns = dense},
        {.file = "cross.hex", .code = "cross-code.bin", .codeRuns = {{.dwOffset = 0xFC00, .dwLength = 0x10BB0 - 0xFC00}}},
        {.file = "data.sx", .data = "data-data.bin", .dataRuns = {{.dwOffset = 0x800, .dwLength = 0x100 + 3000}}},
        {.file = "sparse.ihex", .code = "sparse-code.bin", .codeRuns = {{.dwOffset = 0, .dwLength = 3072},
                                                                        {.dwOffset = 0x10400, .dwLength = 3072},
                                                                        {.dwOffset = 0xEF400, .dwLength = 3072}}},
    };
    // clang-format on
    NSTargetFile target;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.file);
        const Loaded loaded = load(&target, IMAGES / row.file);
        if (!row.hex.empty()) {
            EXPECT_TRUE(loaded == load(&target, IMAGES / row.hex)) << "not what objcopy gives";
        }
        if (!row.code.empty() || row.hex.empty()) {
            EXPECT_TRUE(loaded == (Loaded{contents(row.code), contents(row.data), row.codeRuns, row.dataRuns}));
        }
    }
}

// A refused file leaves a problem text that names the line or the ELF field
// and the address; one refused after reading leaves no image, one refused
// before (by its path) keeps the image loaded before. A .bin that is another
// format is refused by its content; a HEX record that runs past 64 KiB
// without an extended linear address before it, whatever came before.
TEST(NSTargetFileTest, RefusesBadFilesSayingWhere)
{
    const struct {
        std::string file, problem;
        uint64_t result = ERR_FILE_FORMAT;
        bool kept = false;  // the image loaded before is kept
    } rows[] = {
        {.file = "badsum.hex", .problem = "line 3: the sum is 00, it should be DA"},
        {.file = "badsum-crcrlf.hex", .problem = "line 3: the sum is 00, it should be DA"},
        {.file = "badlength.s28",
         .problem = "line 3: the record's count byte says 37 bytes follow it, the line holds 36"},
        {.file = "lost.s19", .problem = "line 95: the count record says 94 data records, the file has 93 before it"},
        {.file = "cut.hex", .problem = "line 14: the record has an odd number of hex digits"},
        {.file = "stray.hex", .problem = "line 5, column 13: byte 20 is no hex digit"},
        {.file = "cross-none.hex",
         .problem = "line 1: the record runs past the end of its 64 KiB without an extended "
                    "linear address record (04) before it"},
        {.file = "cross-03.hex",
         .problem = "line 2: the record runs past the end of its 64 KiB without an extended "
                    "linear address record (04) before it"},
        {.file = "cross-02.hex",
         .problem = "line 2: the record runs past the end of its 64 KiB without an extended "
                    "linear address record (04) before it"},
        {.file = "firmware.bin", .problem = "the file is an ELF file, not a raw binary: give it the extension .elf"},
        {.file = "hex.bin", .problem = "the file is Intel HEX, not a raw binary: give it the extension .hex"},
        {.file = "srec.bin", .problem = "the file is S-records, not a raw binary: give it the extension .mot"},
        {.file = "cutline.hex", .problem = "the file ends after line 10 without an end-of-file record (type 01)"},
        {.file = "cutline.s28",
         .problem =
             "the file ends after line 10 without an end record (S7, S8 or S9) or a count record (S5 or S6) last"},
        {.file = "twice.s19", .problem = "line 98: the line follows the end record"},
        {.file = "twice.hex", .problem = "line 2: the line follows the end record"},
        {.file = "overlap.hex", .problem = "line 4503: address 0x400 is given twice, as C9 and as 23"},
        {.file = "overlap.elf",
         .problem = "section header 2 (load address 0x400): address 0x400 is given twice, as C9 and as 23"},
        {.file = "gap.hex", .problem = "line 2: address 0xF0010 is outside both flashes"},
        {.file = "past24.s37", .problem = "line 10: address 0x1000000 is outside both flashes"},
        {.file = "high.elf",
         .problem = "section header 3 (load address 0xFFFF00): address 0x1000000 is outside both flashes"},
        {.file = "cut.elf",
         .problem = "program header 0: p_offset 0x1000 and p_filesz 0x11940 reach past the file's end (0x2710 bytes)"},
        {.file = "notelf.elf", .problem = "the file is no ELF file: it does not begin with 7F 45 4C 46"},
        {.file = "sketch.bin.bak",
         .problem = "the extension is none of .bin .hex .ihex .ihx .mot .srec .s19 .s28 .s37 .sx .elf .axf .abs .out, "
                    "and the content is no ELF file, HEX or S-records"},
        {.file = "nothing.hex", .problem = "the file gives no byte", .result = ERR_FILE_SIZE},
        {.file = "toolarge.bin", .problem = "the file is larger than 262144 bytes", .result = ERR_FILE_SIZE},
        {.file = "empty.bin", .problem = "the file is empty", .result = ERR_FILE_SIZE},
        {.file = "directory.bin", .problem = "it is a directory", .result = ERR_FILE_READ, .kept = true},
        {.file = "missing.hex", .problem = "there is no such file", .result = ERR_FILE_NOT_FOUND, .kept = true},
    };
    NSTargetFile target;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.file);
        ASSERT_EQ(target.ReadFile((IMAGES / "both.hex").string()), RESULT_OK);
        EXPECT_EQ(target.ReadFile((IMAGES / row.file).string()), row.result);
        EXPECT_EQ(target.GetProblemText(), row.problem);
        EXPECT_EQ(target.GetProgramMemorySize() + target.GetDataSize(), row.kept ? 72000 + 3000 : 0);
        EXPECT_EQ(target.GetProgramRuns().size() + target.GetDataRuns().size(), row.kept ? 2 : 0);
    }
}

// The extensions of each format, as the help text, the README's table and the
// man page's list of formats give them, are those of the loader's one table,
// in its order.
TEST(NSTargetFileTest, TheDocumentsListTheTablesExtensions)
{
    std::vector<std::string> table;
    for (const NSTargetFile::ImageFormat& format : NSTargetFile::formats()) {
        table.emplace_back(format.pszExtensions);
    }
    const std::filesystem::path source = QUENWICK_SOURCE_DIR;
    const std::string extensions = R"((\.[a-z0-9]+(?:(?: |` `| ", " )\.[a-z0-9]+)*))";
    const struct {
        std::string what, text;
        std::regex list;  // a format's extensions in group 1
    } rows[] = {
        {.what = "help", .text = CommandLine::optionsText(), .list = std::regex("\n  " + extensions + "  ")},
        {.what = "README",
         .text = contents(source / "README.md"),
         .list = std::regex("\n\\| `" + extensions + "` \\| [A-Za-z]")},
        {.what = "man page",
         .text = contents(source / "man/Quenwick.1"),
         .list = std::regex("\n\\.TP\n\\.BR? " + extensions + "\n")},
    };
    for (const auto& row : rows) {
        std::vector<std::string> listed;
        for (std::sregex_iterator it(row.text.begin(), row.text.end(), row.list), end; it != end; ++it) {
            listed.push_back(std::regex_replace((*it)[1].str(), std::regex("` `| \", \" "), " "));
        }
        EXPECT_EQ(listed, table) << row.what;
    }
}

}  // namespace
