// Loads the image that is written into the target: a raw binary for the code
// flash from address 0, or an Intel HEX, S-record or ELF file whose bytes
// carry their addresses and make a code image and a data image under the
// target's memory map (MemoryImage.h). The format is chosen by the file name's
// extension in any letter case (formats(): the one table of them), and checked
// by the file's content: a .bin that is plainly an ELF file, HEX or S-records
// is refused, and a file whose extension is none of them is read as what its
// content plainly is. Besides the images the loader tells which 1024-byte
// blocks of each flash the image gives bytes in, as runs of consecutive
// blocks (BlockRun): a job erases, writes and compares those blocks and no
// others.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "MemoryImage.h"

enum InputFileType : int32_t {
    INPUT_FILE_NONE = 0,
    INPUT_FILE_BIN = 1,
    INPUT_FILE_HEX = 2,
    INPUT_FILE_SREC = 3,
    INPUT_FILE_ELF = 4,
};

class NSTargetFile {
public:
    // Puts the bytes of a file into a memory image; false, with a problem text, when it refuses them.
    using Reader = bool (*)(std::span<const uint8_t> file, MemoryImage* pImage, std::string* pstrProblem);

    // An image format: its type, its name, its extensions (lower case, each
    // with its dot, one space between) and the reader of its bytes (null for
    // a raw binary, which readFromBinFile reads).
    struct ImageFormat {
        InputFileType type;
        const char* pszName;
        const char* pszExtensions;
        Reader read;
    };
    // Every format, raw binary first: the one list of the extensions, which
    // the help text, the README and the man page show.
    static std::span<const ImageFormat> formats();

    // The largest raw binary.
    static constexpr uint64_t MAX_PROGRAM_SIZE = 262144;
    // The largest HEX, S-record or ELF file. A whole code flash (960 KiB) takes
    // about 2.7 MiB as HEX or S-records of 16 bytes a line, 11 MiB at one byte a
    // line; an ELF with its debugging sections can take tens of MiB. Only the
    // file's own size is read into memory.
    static constexpr uint64_t MAX_ADDRESSED_FILE_SIZE = 64 * 1024 * 1024;

    // Loads the image at strPath, all of it or nothing. RESULT_OK;
    // ERR_FILE_NOT_FOUND when nothing is there; ERR_FILE_FORMAT for a .bin
    // whose content is another format's, a file whose extension and content
    // are no format's (type INPUT_FILE_NONE), or a malformed file: a bad
    // record, a sum, a length, an ELF header, two different bytes for one
    // address, a byte outside both flashes; ERR_FILE_SIZE for a file too large
    // for its format or one that gives no byte; ERR_FILE_READ for a directory,
    // a path this user cannot reach, or a file that cannot be read or is no
    // regular file (a FIFO or a device is refused at once, without waiting on
    // it). Every failure leaves a problem text. A failure before the file is
    // read (not found, not reached, a directory) keeps the image loaded
    // before; a later one leaves none. The path's bytes reach the system
    // unchanged.
    uint64_t ReadFile(const std::string& strPath);
    // The type of the file ReadFile read last.
    InputFileType GetFileType() const { return m_EInputFile; }
    // The name of its format ("Intel HEX") where its content rather than its extension said it; else null.
    const char* GetContentFormatName() const { return m_pContentFormat; }
    // Whether the loaded image fits a board whose code flash has
    // dwCodeFlashSize bytes from address 0 and whose data flash has
    // dwDataFlashSize from 0xF1000 (0: none), as whole blocks: every block the
    // image touches must lie within its flash, also where a flash does not end
    // on a block boundary. RESULT_OK, ERR_CODE_FLASH_SIZE or
    // ERR_DATA_FLASH_SIZE with the reason in *pstrProblem.
    uint64_t checkFits(uint64_t dwCodeFlashSize, uint64_t dwDataFlashSize, std::string* pstrProblem) const;

    // The code image, from address 0 (null while none is loaded).
    const uint8_t* GetProgramMemory() const;
    // Its size: the highest code address the image gives, plus 1 (0 while none).
    uint64_t GetProgramMemorySize() const;
    // The data image, from address 0xF1000 (null when the image has no data flash byte).
    const uint8_t* GetDataFlash() const;
    // Its size: the highest data address the image gives, plus 1, minus 0xF1000 (0 when none).
    uint64_t GetDataSize() const;
    // The runs of blocks the code image gives bytes in, as offsets from address 0.
    const std::vector<BlockRun>& GetProgramRuns() const;
    // The runs of blocks the data image gives bytes in, as offsets from 0xF1000.
    const std::vector<BlockRun>& GetDataRuns() const;
    // Why the last ReadFile failed, naming the line or the ELF field and the
    // address where the file is at fault; empty after a success.
    const std::string& GetProblemText() const;

private:
    // Loads the raw binary of bytes as the code image, whose one run is the
    // whole image: RESULT_OK, ERR_FILE_SIZE (empty or larger than
    // MAX_PROGRAM_SIZE) or ERR_FILE_READ.
    uint64_t readFromBinFile(std::span<const uint8_t> bytes);
    // Drops both images and their runs.
    void releaseData();
    // Reads the file of bytes as format, of at most maxSize bytes: the results of ReadFile.
    uint64_t readImageFile(std::span<const uint8_t> bytes, uint64_t maxSize, Reader read);
    // Makes image the loaded image: RESULT_OK, ERR_FILE_SIZE or ERR_FILE_READ.
    uint64_t takeImages(const MemoryImage& image);

    std::unique_ptr<uint8_t[]> m_pbProgram;
    uint64_t m_dwProgramSize = 0;
    std::unique_ptr<uint8_t[]> m_pbData;
    uint64_t m_dwDataSize = 0;
    InputFileType m_EInputFile = INPUT_FILE_NONE;  // the type of the file ReadFile reads now
    const char* m_pContentFormat = nullptr;        // the format's name where its content, not its extension, said it
    std::vector<BlockRun> m_ProgramRuns;
    std::vector<BlockRun> m_DataRuns;
    std::string m_strProblem;
};
