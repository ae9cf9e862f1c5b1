#include "NSTargetFile.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <new>
#include <string_view>

#include "ResultCodes.h"
#include "System.h"

namespace {

// The text after the last "." of the last path component, or "" when it has none.
std::string extensionOf(const std::filesystem::path& path)
{
    const std::string name = path.filename().string();
    const size_t dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

bool isBinExtension(const std::string& extension)
{
    constexpr std::string_view BIN = "bin";
    return std::equal(extension.begin(), extension.end(), BIN.begin(), BIN.end(),
                      [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
}

}  // namespace

uint64_t NSTargetFile::ReadFile(const std::string& strPath)
{
    const std::filesystem::path path(strPath);
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    if (!std::filesystem::exists(status) || std::filesystem::is_directory(status)) {
        return ERR_FILE_NOT_FOUND;
    }
    if (!isBinExtension(extensionOf(path))) {
        m_EInputFile = INPUT_FILE_NONE;
        return ERR_FILE_FORMAT;
    }
    m_EInputFile = INPUT_FILE_BIN;
    return readFromBinFile(strPath);
}

// Only a regular file is read, and opening anything else never blocks.
uint64_t NSTargetFile::readFromBinFile(const std::string& strPath)
{
    // Any load drops the previous image, whether it then succeeds or not.
    releaseData();

    // Read one byte more than the largest image: enough to tell a too-large file without reading all of it.
    std::unique_ptr<uint8_t[]> pbFile(new (std::nothrow) uint8_t[MAX_PROGRAM_SIZE + 1]);
    uint64_t fileSize = 0;
    if (pbFile == nullptr || !System::readRegularFile(strPath.c_str(), pbFile.get(), MAX_PROGRAM_SIZE + 1, &fileSize)) {
        return ERR_FILE_READ;
    }
    if (fileSize == 0 || fileSize > MAX_PROGRAM_SIZE) {
        return ERR_FILE_SIZE;
    }

    std::unique_ptr<uint8_t[]> pbProgram(new (std::nothrow) uint8_t[fileSize]);
    if (pbProgram == nullptr) {
        return ERR_FILE_READ;
    }
    std::copy_n(pbFile.get(), fileSize, pbProgram.get());
    m_pbProgram = std::move(pbProgram);
    m_dwProgramSize = fileSize;
    return RESULT_OK;
}

void NSTargetFile::releaseData()
{
    m_pbProgram.reset();
    m_dwProgramSize = 0;
    m_pbData.reset();
    m_dwDataSize = 0;
}

const uint8_t* NSTargetFile::GetProgramMemory() const { return m_pbProgram.get(); }

uint64_t NSTargetFile::GetProgramMemorySize() const { return m_dwProgramSize; }

const uint8_t* NSTargetFile::GetDataFlash() const { return m_pbData.get(); }

uint64_t NSTargetFile::GetDataSize() const { return m_dwDataSize; }

InputFileType NSTargetFile::GetFileType() const { return m_EInputFile; }
