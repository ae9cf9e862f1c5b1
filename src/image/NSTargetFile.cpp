#include "NSTargetFile.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <span>
#include <string_view>

#include "ElfReader.h"
#include "RecordLines.h"
#include "IntelHexReader.h"
#include "ResultCodes.h"
#include "SRecordReader.h"
#include "Platform.h"

namespace {

constexpr NSTargetFile::ImageFormat FORMATS[] = {
    {INPUT_FILE_BIN, "a raw binary", ".bin", nullptr},
    {INPUT_FILE_HEX, "Intel HEX", ".hex .ihex .ihx", IntelHexReader::read},
    {INPUT_FILE_SREC, "S-records", ".mot .srec .s19 .s28 .s37 .sx", SRecordReader::read},
    {INPUT_FILE_ELF, "an ELF file", ".elf .axf .abs .out", ElfReader::read},
};

// The text after the last "." of the last path component, or "" when it has none.
std::string extensionOf(const std::filesystem::path& path)
{
    const std::string name = path.filename().string();
    const size_t dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

// The format whose extensions hold strExtension in any letter case, or null.
const NSTargetFile::ImageFormat* named(std::string strExtension)
{
    for (char& c : strExtension) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    for (const auto& format : FORMATS) {
        for (std::string_view rest = format.pszExtensions; !rest.empty();) {
            const size_t end = std::min(rest.find(' '), rest.size());
            if (rest.substr(1, end - 1) == strExtension) {
                return &format;
            }
            rest.remove_prefix(std::min(end + 1, rest.size()));
        }
    }
    return nullptr;
}

// The format that the bytes plainly are: an ELF file (its magic), Intel HEX
// or S-records (every line a record); null for none of them.
const NSTargetFile::ImageFormat* byContent(std::span<const uint8_t> bytes)
{
    constexpr uint8_t ELF_MAGIC[] = {0x7F, 'E', 'L', 'F'};
    const InputFileType type =
        bytes.size() >= 4 && std::equal(std::begin(ELF_MAGIC), std::end(ELF_MAGIC), bytes.begin()) ? INPUT_FILE_ELF
        : RecordLines::wellFormed(bytes, ':', 1)                                                   ? INPUT_FILE_HEX
        : RecordLines::wellFormed(bytes, 'S', 2)                                                   ? INPUT_FILE_SREC
                                                                                                   : INPUT_FILE_NONE;
    for (const auto& format : FORMATS) {
        if (format.type == type) {
            return &format;
        }
    }
    return nullptr;
}

}  // namespace

std::span<const NSTargetFile::ImageFormat> NSTargetFile::formats() { return FORMATS; }

uint64_t NSTargetFile::ReadFile(const std::string& strPath)
{
    const std::filesystem::path path(strPath);
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    if (std::filesystem::is_directory(status)) {
        m_strProblem = "it is a directory";
        return ERR_FILE_READ;
    }
    if (!std::filesystem::exists(status)) {
        // Not there, or somewhere on the way this user may not enter.
        const bool fMissing = error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory;
        m_strProblem = fMissing ? "there is no such file" : "the path cannot be reached: " + error.message();
        return fMissing ? ERR_FILE_NOT_FOUND : ERR_FILE_READ;
    }
    releaseData();
    // One byte more than the largest file tells a file too large without reading all of it.
    std::vector<uint8_t> bytes;
    if (!Platform::readRegularFile(strPath.c_str(), MAX_ADDRESSED_FILE_SIZE + 1, &bytes)) {
        m_strProblem = "the file cannot be read or is no regular file";
        return ERR_FILE_READ;
    }
    const ImageFormat* pNamed = named(extensionOf(path));
    const ImageFormat* pContent = pNamed == nullptr || pNamed->type == INPUT_FILE_BIN ? byContent(bytes) : nullptr;
    m_pContentFormat = pNamed == nullptr && pContent != nullptr ? pContent->pszName : nullptr;
    m_EInputFile = pNamed != nullptr ? pNamed->type : pContent != nullptr ? pContent->type : INPUT_FILE_NONE;
    if (pNamed != nullptr && pContent != nullptr) {
        const std::string_view extensions = pContent->pszExtensions;
        m_strProblem = "the file is " + std::string(pContent->pszName) + ", not a raw binary: give it the extension " +
                       std::string(extensions.substr(0, extensions.find(' ')));
        return ERR_FILE_FORMAT;
    }
    if (m_EInputFile == INPUT_FILE_NONE) {
        std::string strKnown;
        for (const auto& format : FORMATS) {
            strKnown += std::string(strKnown.empty() ? "" : " ") + format.pszExtensions;
        }
        m_strProblem = "the extension is none of " + strKnown + ", and the content is no ELF file, HEX or S-records";
        return ERR_FILE_FORMAT;
    }
    return m_EInputFile == INPUT_FILE_BIN
               ? readFromBinFile(bytes)
               : readImageFile(bytes, MAX_ADDRESSED_FILE_SIZE, (pNamed != nullptr ? pNamed : pContent)->read);
}

uint64_t NSTargetFile::readFromBinFile(std::span<const uint8_t> bytes)
{
    // Within the code flash from address 0: nothing to refuse.
    return readImageFile(bytes, MAX_PROGRAM_SIZE,
                         [](std::span<const uint8_t> file, MemoryImage* pImage, std::string* pstrProblem) {
                             return pImage->add(0, file.data(), file.size(), pstrProblem);
                         });
}

// Has read turn the file's bytes into the images: ERR_FILE_SIZE when they are
// none or more than maxSize, ERR_FILE_FORMAT when read refuses them.
uint64_t NSTargetFile::readImageFile(std::span<const uint8_t> bytes, uint64_t maxSize, Reader read)
{
    if (bytes.empty() || bytes.size() > maxSize) {
        m_strProblem =
            bytes.empty() ? "the file is empty" : "the file is larger than " + std::to_string(maxSize) + " bytes";
        return ERR_FILE_SIZE;
    }
    MemoryImage image;
    if (!read(bytes, &image, &m_strProblem)) {
        return ERR_FILE_FORMAT;
    }
    return takeImages(image);
}

uint64_t NSTargetFile::checkFits(uint64_t dwCodeFlashSize, uint64_t dwDataFlashSize, std::string* pstrProblem) const
{
    const struct {
        const std::vector<BlockRun>& runs;
        uint64_t dwFlashSize, dwStart, dwRefused;
        const char* pszName;
    } flashes[] = {{m_ProgramRuns, dwCodeFlashSize, 0, ERR_CODE_FLASH_SIZE, "code flash"},
                   {m_DataRuns, dwDataFlashSize, MemoryImage::DATA_FLASH_START, ERR_DATA_FLASH_SIZE, "data flash"}};
    for (const auto& flash : flashes) {
        if (flash.runs.empty()) {
            continue;
        }
        const BlockRun& last = flash.runs.back();
        const uint64_t dwEnd = last.dwOffset + (last.dwLength + MemoryImage::BLOCK_SIZE - 1) / MemoryImage::BLOCK_SIZE *
                                                   MemoryImage::BLOCK_SIZE;
        if (dwEnd <= flash.dwFlashSize) {
            continue;
        }
        *pstrProblem = std::string("the image's blocks reach ") + MemoryImage::hexText(flash.dwStart + dwEnd - 1) +
                       ", " +
                       (flash.dwFlashSize == 0 ? std::string("the board has no ") + flash.pszName
                                               : std::string("the ") + flash.pszName + " ends at " +
                                                     MemoryImage::hexText(flash.dwStart + flash.dwFlashSize - 1)) +
                       (flash.dwFlashSize % MemoryImage::BLOCK_SIZE != 0 ? ", not at the end of a block" : "");
        return flash.dwRefused;
    }
    return RESULT_OK;
}

// The images and runs of image become the loaded image: ERR_FILE_SIZE when it
// gives no byte, ERR_FILE_READ when there is no memory for them.
uint64_t NSTargetFile::takeImages(const MemoryImage& image)
{
    if (image.empty()) {
        m_strProblem = "the file gives no byte";
        return ERR_FILE_SIZE;
    }
    std::vector<BlockRun> programRuns = image.runs(true);
    std::vector<BlockRun> dataRuns = image.runs(false);
    uint64_t dwProgramSize = 0;
    uint64_t dwDataSize = 0;
    std::unique_ptr<uint8_t[]> pbProgram = image.image(true, &dwProgramSize);
    std::unique_ptr<uint8_t[]> pbData = image.image(false, &dwDataSize);
    if ((pbProgram == nullptr) != programRuns.empty() || (pbData == nullptr) != dataRuns.empty()) {
        m_strProblem = "there is no memory for the image";
        return ERR_FILE_READ;
    }
    m_pbProgram = std::move(pbProgram);
    m_dwProgramSize = dwProgramSize;
    m_pbData = std::move(pbData);
    m_dwDataSize = dwDataSize;
    m_ProgramRuns = std::move(programRuns);
    m_DataRuns = std::move(dataRuns);
    m_strProblem.clear();
    return RESULT_OK;
}

void NSTargetFile::releaseData()
{
    m_pbProgram.reset();
    m_dwProgramSize = 0;
    m_pbData.reset();
    m_dwDataSize = 0;
    m_ProgramRuns.clear();
    m_DataRuns.clear();
}

const uint8_t* NSTargetFile::GetProgramMemory() const { return m_pbProgram.get(); }

uint64_t NSTargetFile::GetProgramMemorySize() const { return m_dwProgramSize; }

const uint8_t* NSTargetFile::GetDataFlash() const { return m_pbData.get(); }

uint64_t NSTargetFile::GetDataSize() const { return m_dwDataSize; }

const std::vector<BlockRun>& NSTargetFile::GetProgramRuns() const { return m_ProgramRuns; }

const std::vector<BlockRun>& NSTargetFile::GetDataRuns() const { return m_DataRuns; }

const std::string& NSTargetFile::GetProblemText() const { return m_strProblem; }
