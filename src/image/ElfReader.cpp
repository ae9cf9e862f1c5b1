#include "ElfReader.h"

#include <algorithm>

namespace {

constexpr uint8_t MAGIC[4] = {0x7F, 'E', 'L', 'F'};
constexpr size_t EI_CLASS = 4;
constexpr size_t EI_DATA = 5;
constexpr uint8_t ELFCLASS32 = 1;
constexpr uint8_t ELFCLASS64 = 2;
constexpr uint8_t ELFDATA2LSB = 1;
constexpr uint8_t ELFDATA2MSB = 2;
constexpr uint32_t PT_LOAD = 1;
constexpr uint64_t PN_XNUM = 0xFFFF;

// Where the fields this reader needs lie in each class: offsets into the ELF
// header and into a program header, with their widths where they differ.
struct Layout {
    size_t headerSize, addressSize;
    size_t phoff, phentsize, phnum;
    size_t programHeaderSize;
    size_t offset, paddr, filesz, memsz;
};
constexpr Layout LAYOUT_32 = {52, 4, 28, 42, 44, 32, 4, 12, 16, 20};
constexpr Layout LAYOUT_64 = {64, 8, 32, 54, 56, 56, 8, 24, 32, 40};

constexpr auto hex = MemoryImage::hexText;

}  // namespace

bool ElfReader::read(std::span<const uint8_t> file, MemoryImage* pImage, std::string* pstrProblem)
{
    if (file.size() <= EI_DATA || !std::equal(std::begin(MAGIC), std::end(MAGIC), file.begin())) {
        *pstrProblem = "the file is no ELF file: it does not begin with 7F 45 4C 46";
        return false;
    }
    if (file[EI_CLASS] != ELFCLASS32 && file[EI_CLASS] != ELFCLASS64) {
        *pstrProblem = "e_ident[EI_CLASS] is " + std::to_string(file[EI_CLASS]) + ", neither 1 (32-bit) nor 2 (64-bit)";
        return false;
    }
    if (file[EI_DATA] != ELFDATA2LSB && file[EI_DATA] != ELFDATA2MSB) {
        *pstrProblem =
            "e_ident[EI_DATA] is " + std::to_string(file[EI_DATA]) + ", neither 1 (little-endian) nor 2 (big-endian)";
        return false;
    }
    const Layout& layout = file[EI_CLASS] == ELFCLASS32 ? LAYOUT_32 : LAYOUT_64;
    const bool fBigEndian = file[EI_DATA] == ELFDATA2MSB;
    if (file.size() < layout.headerSize) {
        *pstrProblem = "the ELF header is cut short: the file has " + std::to_string(file.size()) +
                       " bytes, the header " + std::to_string(layout.headerSize);
        return false;
    }
    // A field of width bytes at offset, which lies within the file.
    const auto field = [&](uint64_t offset, size_t width) {
        uint64_t value = 0;
        for (size_t i = 0; i < width; ++i) {
            value |= uint64_t{file[offset + i]} << (8 * (fBigEndian ? width - 1 - i : i));
        }
        return value;
    };
    const uint64_t phoff = field(layout.phoff, layout.addressSize);
    const uint64_t phentsize = field(layout.phentsize, 2);
    const uint64_t phnum = field(layout.phnum, 2);
    if (phnum == PN_XNUM) {
        *pstrProblem = "e_phnum is 0xFFFF (PN_XNUM): the count of program headers lies elsewhere, which is not read";
        return false;
    }
    if (phnum != 0 && phentsize < layout.programHeaderSize) {
        *pstrProblem = "e_phentsize is " + std::to_string(phentsize) + ", a program header has " +
                       std::to_string(layout.programHeaderSize) + " bytes";
        return false;
    }
    if (phoff > file.size() || phnum * phentsize > file.size() - phoff) {
        *pstrProblem = "the program headers (e_phoff " + hex(phoff) + ", e_phnum " + std::to_string(phnum) +
                       ", e_phentsize " + std::to_string(phentsize) + ") reach past the file's end (" +
                       hex(file.size()) + " bytes)";
        return false;
    }
    for (uint64_t i = 0; i < phnum; ++i) {
        const uint64_t header = phoff + i * phentsize;
        if (field(header, 4) != PT_LOAD) {
            continue;
        }
        const uint64_t offset = field(header + layout.offset, layout.addressSize);
        const uint64_t paddr = field(header + layout.paddr, layout.addressSize);
        const uint64_t filesz = field(header + layout.filesz, layout.addressSize);
        const uint64_t memsz = field(header + layout.memsz, layout.addressSize);
        const std::string strHeader = "program header " + std::to_string(i);
        if (filesz > memsz) {
            *pstrProblem = strHeader + ": p_filesz " + hex(filesz) + " is larger than p_memsz " + hex(memsz);
            return false;
        }
        if (offset > file.size() || filesz > file.size() - offset) {
            *pstrProblem = strHeader + ": p_offset " + hex(offset) + " and p_filesz " + hex(filesz) +
                           " reach past the file's end (" + hex(file.size()) + " bytes)";
            return false;
        }
        if (!pImage->add(paddr, file.data() + offset, filesz, pstrProblem)) {
            *pstrProblem = strHeader + " (p_paddr " + hex(paddr) + "): " + *pstrProblem;
            return false;
        }
    }
    return true;
}
