#include "NSTargetFile.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <span>
#include <string_view>

#include "ElfReader.h"
#include "IntelHexReader.h"
#include "ResultCodes.h"
#include "SRecordReader.h"
#include "Platform.h"

namespace {

// The extensions that ReadFile knows, each with the type it names and the
// reader of such a file's bytes (none for a raw binary: readFromBinFile).
struct Extension {
    std::string_view extension;
    InputFileType type;
    NSTargetFile::Reader read;
};
constexpr Extension EXTENSIONS[] = {
    {"bin", INPUT_FILE_BIN, nullptr},
    {"hex", INPUT_FILE_HEX, IntelHexReader::read},
    {"ihex", INPUT_FILE_HEX, IntelHexReader::read},
    {"ihx", INPUT_FILE_HEX, IntelHexReader::read},
    {"mot", INPUT_FILE_SREC, SRecordReader::read},
    {"srec", INPUT_FILE_SREC, SRecordReader::read},
    {"s19", INPUT_FILE_SREC, SRecordReader::read},
    {"s28", INPUT_FILE_SREC, SRecordReader::read},
    {"s37", INPUT_FILE_SREC, SRecordReader::read},
    {"sx", INPUT_FILE_SREC, SRecordReader::read},
    {"elf", INPUT_FILE_ELF, ElfReader::read},
    {"abs", INPUT_FILE_ELF, ElfReader::read},
    {"out", INPUT_FILE_ELF, ElfReader::read},
};

// The text after the last "." of the last path component, or "" when it has none.
std::string extensionOf(const std::filesystem::path& path)
{
    const std::string name = path.filename().string();
    const size_t dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

// The entry of EXTENSIONS that extension names in any letter case, or null.
const Extension* known(const std::string& extension)
{
    for (const Extension& entry : EXTENSIONS) {
        if (std::equal(extension.begin(), extension.end(), entry.extension.begin(), entry.extension.end(),
                       [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; })) {
            return &entry;
        }
    }
    return nullptr;
}

}  // namespace

uint64_t NSTargetFile::ReadFile(const std::string& strPath)
{
    const std::filesystem::path path(strPath);
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    if (!std::filesystem::exists(status) || std::filesystem::is_directory(status)) {
        m_strProblem = std::filesystem::exists(status) ? "it is a directory" : "there is no such file";
        return ERR_FILE_NOT_FOUND;
    }
    const Extension* pExtension = known(extensionOf(path));
    m_EInputFile = pExtension != nullptr ? pExtension->type : INPUT_FILE_NONE;
    if (m_EInputFile == INPUT_FILE_NONE) {
        std::string strKnown;
        for (const Extension& entry : EXTENSIONS) {
            strKnown += std::string(strKnown.empty() ? "" : " ") + "." + std::string(entry.extension);
        }
        m_strProblem = "the extension is none of " + strKnown;
        return ERR_FILE_FORMAT;
    }
    return m_EInputFile == INPUT_FILE_BIN ? readFromBinFile(strPath)
                                          : readImageFile(strPath, MAX_ADDRESSED_FILE_SIZE, pExtension->read);
}

uint64_t NSTargetFile::readFromBinFile(const std::string& strPath)
{
    // Within the code flash from address 0: nothing to refuse.
    return readImageFile(strPath, MAX_PROGRAM_SIZE,
                         [](std::span<const uint8_t> file, MemoryImage* pImage, std::string* pstrProblem) {
                             return pImage->add(0, file.data(), file.size(), pstrProblem);
                         });
}

// Drops any earlier image, reads the whole regular file at strPath and has
// read turn it into the images: ERR_FILE_READ when it cannot be read,
// ERR_FILE_SIZE when it is empty or larger than maxSize, ERR_FILE_FORMAT when
// read refuses it.
uint64_t NSTargetFile::readImageFile(const std::string& strPath, uint64_t maxSize, Reader read)
{
    releaseData();
    // One byte more than the largest file tells a file too large without reading all of it.
    std::vector<uint8_t> bytes;
    if (!Platform::readRegularFile(strPath.c_str(), maxSize + 1, &bytes)) {
        m_strProblem = "the file cannot be read or is no regular file";
        return ERR_FILE_READ;
    }
    const uint64_t dwSize = bytes.size();
    if (dwSize == 0 || dwSize > maxSize) {
        m_strProblem =
            dwSize == 0 ? "the file is empty" : "the file is larger than " + std::to_string(maxSize) + " bytes";
        return ERR_FILE_SIZE;
    }
    MemoryImage image;
    if (!read(bytes, &image, &m_strProblem)) {
        return ERR_FILE_FORMAT;
    }
    return takeImages(image);
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
