// Loads the raw binary image that is written into the target's code flash.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

enum InputFileType : int32_t {
    INPUT_FILE_NONE = 0,
    INPUT_FILE_BIN = 1,
};

class NSTargetFile {
public:
    static constexpr uint64_t MAX_PROGRAM_SIZE = 262144;

    // Checks the path (exists, not a directory, extension "bin" in any case)
    // and loads the whole file, or nothing. The path's bytes reach the system
    // unchanged. Anything but a regular file (a FIFO, a device) is refused with
    // ERR_FILE_READ at once, without waiting on it.
    uint64_t ReadFile(const std::string& strPath);
    uint64_t readFromBinFile(const std::string& strPath);
    void releaseData();

    const uint8_t* GetProgramMemory() const;
    uint64_t GetProgramMemorySize() const;
    const uint8_t* GetDataFlash() const;
    uint64_t GetDataSize() const;
    InputFileType GetFileType() const;

private:
    std::unique_ptr<uint8_t[]> m_pbProgram;
    uint64_t m_dwProgramSize = 0;
    std::unique_ptr<uint8_t[]> m_pbData;
    uint64_t m_dwDataSize = 0;
    InputFileType m_EInputFile = INPUT_FILE_NONE;
};
