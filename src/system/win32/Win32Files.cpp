// The standard streams, the terminal and reading a file on Windows.
#include "Platform.h"
#include "SizedRead.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <filesystem>

namespace Platform {

// The C library's streams start in text mode, which writes "\n" as "\r\n".
bool prepareStandardStreams()
{
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    return true;
}

// A Windows console takes the escape sequences once it is asked to; a file,
// a pipe or a console that refuses gets the line-per-tenth form.
bool rewritesLines(std::FILE* pStream)
{
    const HANDLE hStream = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(pStream)));
    DWORD dwMode = 0;
    return GetConsoleMode(hStream, &dwMode) != 0 &&
           ((dwMode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
            SetConsoleMode(hStream, dwMode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0);
}

// The file's bytes as they are: the system's reads know no text mode. Opening
// a device, a pipe or a directory never waits; only a file on a disk is read.
// The path is converted as std::filesystem converts it (the narrow call would
// stop at MAX_PATH).
bool readRegularFile(const char* pszPath, uint64_t capacity, std::vector<uint8_t>* pBytes)
{
    const HANDLE hFile = CreateFileW(std::filesystem::path(pszPath).c_str(), GENERIC_READ,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) {
        return false;
    }
    LARGE_INTEGER fileSize{};
    const bool fRead = GetFileType(hFile) == FILE_TYPE_DISK && GetFileSizeEx(hFile, &fileSize) != 0 &&
                       readSized(
                           static_cast<uint64_t>(fileSize.QuadPart), capacity,
                           [hFile](uint8_t* pbTo, uint64_t dwWanted) -> int64_t {
                               DWORD dwCount = 0;
                               return ReadFile(hFile, pbTo, static_cast<DWORD>(std::min<uint64_t>(dwWanted, 1U << 30)),
                                               &dwCount, nullptr) != 0
                                          ? static_cast<int64_t>(dwCount)
                                          : -1;
                           },
                           pBytes);
    CloseHandle(hFile);
    return fRead;
}

}  // namespace Platform
