#include "ElfReader.h"

#include <algorithm>
#include <vector>

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

constexpr uint32_t SHT_NOBITS = 8;
constexpr uint64_t SHF_ALLOC = 2;

// Where the fields this reader needs lie in each class: offsets into the ELF
// header, into a program header and into a section header, with their widths
// where they differ.
struct Layout {
    size_t headerSize, addressSize;
    size_t phoff, phentsize, phnum, shoff, shentsize, shnum;
    size_t programHeaderSize;
    size_t offset, vaddr, paddr, filesz, memsz;
    size_t sectionHeaderSize;
    size_t shFlags, shAddr, shOffset, shSize;
};
constexpr Layout LAYOUT_32 = {52, 4, 28, 42, 44, 32, 46, 48, 32, 4, 8, 12, 16, 20, 40, 8, 12, 16, 20};
constexpr Layout LAYOUT_64 = {64, 8, 32, 54, 56, 40, 58, 60, 56, 8, 16, 24, 32, 40, 64, 8, 16, 24, 32};

// A loadable segment, as far as the sections' load addresses need it.
struct Segment {
    uint64_t index, offset, vaddr, paddr, filesz, memsz;
};

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
    // Whether a table of count entries of entsize bytes (at least size) from offset lies within the file;
    // false with the problem otherwise.
    const auto tableFits = [&](const char* pszName, const char* pszPrefix, uint64_t offset, uint64_t entsize,
                               uint64_t count, size_t size) {
        const std::string strPrefix = std::string("e_") + pszPrefix;
        if (count != 0 && entsize < size) {
            *pstrProblem = strPrefix + "entsize is " + std::to_string(entsize) + ", a " + pszName + " has " +
                           std::to_string(size) + " bytes";
            return false;
        }
        if (offset > file.size() || (count != 0 && count > (file.size() - offset) / entsize)) {
            *pstrProblem = "the " + std::string(pszName) + "s (" + strPrefix + "off " + hex(offset) + ", " + strPrefix +
                           "num " + std::to_string(count) + ", " + strPrefix + "entsize " + std::to_string(entsize) +
                           ") reach past the file's end (" + hex(file.size()) + " bytes)";
            return false;
        }
        return true;
    };
    // Whether size bytes from offset lie within the file; false with the problem, in what's words, otherwise.
    const auto bytesFit = [&](const std::string& strWhat, uint64_t offset, uint64_t size) {
        if (offset <= file.size() && size <= file.size() - offset) {
            return true;
        }
        *pstrProblem = strWhat + " reach past the file's end (" + hex(file.size()) + " bytes)";
        return false;
    };
    const uint64_t phoff = field(layout.phoff, layout.addressSize);
    const uint64_t phentsize = field(layout.phentsize, 2);
    const uint64_t phnum = field(layout.phnum, 2);
    if (phnum == PN_XNUM) {
        *pstrProblem = "e_phnum is 0xFFFF (PN_XNUM): the count of program headers lies elsewhere, which is not read";
        return false;
    }
    if (!tableFits("program header", "ph", phoff, phentsize, phnum, layout.programHeaderSize)) {
        return false;
    }
    std::vector<Segment> segments;
    bool fPhysical = false;  // some program header has a physical address other than 0
    for (uint64_t i = 0; i < phnum; ++i) {
        const uint64_t header = phoff + i * phentsize;
        const Segment segment = {i,
                                 field(header + layout.offset, layout.addressSize),
                                 field(header + layout.vaddr, layout.addressSize),
                                 field(header + layout.paddr, layout.addressSize),
                                 field(header + layout.filesz, layout.addressSize),
                                 field(header + layout.memsz, layout.addressSize)};
        fPhysical = fPhysical || segment.paddr != 0;
        if (field(header, 4) != PT_LOAD) {
            continue;
        }
        const std::string strHeader = "program header " + std::to_string(i);
        if (segment.filesz > segment.memsz) {
            *pstrProblem =
                strHeader + ": p_filesz " + hex(segment.filesz) + " is larger than p_memsz " + hex(segment.memsz);
            return false;
        }
        if (!bytesFit(strHeader + ": p_offset " + hex(segment.offset) + " and p_filesz " + hex(segment.filesz),
                      segment.offset, segment.filesz)) {
            return false;
        }
        segments.push_back(segment);
    }
    const uint64_t shoff = field(layout.shoff, layout.addressSize);
    const uint64_t shentsize = field(layout.shentsize, 2);
    uint64_t shnum = field(layout.shnum, 2);
    if (shoff != 0 && shnum == 0) {
        // More than 0xFF00 sections: the count is the first section header's sh_size.
        if (!tableFits("section header", "sh", shoff, shentsize, 1, layout.sectionHeaderSize)) {
            return false;
        }
        shnum = field(shoff + layout.shSize, layout.addressSize);
    }
    if (shoff == 0 || shnum == 0) {
        // No section headers: the file bytes of the loadable segments.
        for (const Segment& segment : segments) {
            if (!pImage->add(segment.paddr, file.data() + segment.offset, segment.filesz, pstrProblem)) {
                *pstrProblem = "program header " + std::to_string(segment.index) + " (p_paddr " + hex(segment.paddr) +
                               "): " + *pstrProblem;
                return false;
            }
        }
        return true;
    }
    if (!tableFits("section header", "sh", shoff, shentsize, shnum, layout.sectionHeaderSize)) {
        return false;
    }
    // Where every program header's physical address is 0, as some linkers leave them, and more than one segment
    // loads, the sections load at their own addresses rather than on top of each other.
    const bool fSegmentAddresses = fPhysical || std::count_if(segments.begin(), segments.end(),
                                                              [](const Segment& s) { return s.memsz != 0; }) <= 1;
    for (uint64_t i = 0; i < shnum; ++i) {
        const uint64_t header = shoff + i * shentsize;
        const uint64_t addr = field(header + layout.shAddr, layout.addressSize);
        const uint64_t offset = field(header + layout.shOffset, layout.addressSize);
        const uint64_t size = field(header + layout.shSize, layout.addressSize);
        if ((field(header + layout.shFlags, layout.addressSize) & SHF_ALLOC) == 0 ||
            field(header + 4, 4) == SHT_NOBITS || size == 0) {
            continue;
        }
        const std::string strHeader = "section header " + std::to_string(i);
        if (!bytesFit(strHeader + ": sh_offset " + hex(offset) + " and sh_size " + hex(size), offset, size)) {
            return false;
        }
        // The load address: as far into the segment that holds it as it is into the segment's file bytes.
        uint64_t lma = addr;
        for (const Segment& segment : segments) {
            if (fSegmentAddresses && offset >= segment.offset && size <= segment.filesz &&
                offset - segment.offset <= segment.filesz - size && addr >= segment.vaddr &&
                addr - segment.vaddr < segment.memsz) {
                lma = segment.paddr + (offset - segment.offset);
                break;
            }
        }
        if (!pImage->add(lma, file.data() + offset, size, pstrProblem)) {
            *pstrProblem = strHeader + " (load address " + hex(lma) + "): " + *pstrProblem;
            return false;
        }
    }
    return true;
}
