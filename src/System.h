// What the program's units need from the system besides the serial device and
// the stop signals: the standard streams, the terminal, and reading the image.
// One file per family of systems defines these (src/posix/, src/win32/).
#pragma once

#include <cstdint>
#include <cstdio>

namespace System {

// Makes the standard streams carry bytes as they are, with no line-end
// translation, so that the program's output is the same on every system.
void useBinaryStreams();

// Whether pStream is a terminal on which a line can be rewritten in place
// ("\r" and "\033[K"); turns that on where the terminal needs to be asked.
bool rewritesLines(std::FILE* pStream);

// Reads at most capacity bytes of the regular file at pszPath into pbBuffer,
// byte for byte, and sets *pSize to the count read. Anything but a regular
// file (a FIFO, a device) is refused without waiting on it. False when the
// file cannot be opened or read, or is no regular file.
bool readRegularFile(const char* pszPath, uint8_t* pbBuffer, uint64_t capacity, uint64_t* pSize);

}  // namespace System
