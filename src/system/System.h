// What the program's units need from the system besides the serial device and
// the stop signals: the standard streams, the terminal, and reading the image.
// One file per family of systems defines these (posix/, win32/).
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

namespace System {

// Readies the standard streams before anything else runs; false when that
// failed (the program then ends with status 1). A closed standard input,
// output or error is opened on the null device, so that no file the program
// opens (the port above all) takes its place; it is opened the other way
// round, so that using it fails as using a closed one would. A reader that goes away
// (a closed pipe) makes a write fail instead of ending the process. The
// streams carry bytes as they are, with no line-end translation.
// On Windows a device is a handle and never takes a standard stream's place,
// and a closed pipe fails the write: only the translation is turned off there.
bool prepareStandardStreams();

// Whether pStream is a terminal on which a line can be rewritten in place
// ("\r" and "\033[K"); turns that on where the terminal needs to be asked.
bool rewritesLines(std::FILE* pStream);

// Reads at most capacity bytes of the regular file at pszPath into *pBytes,
// byte for byte, in memory sized by the file (and grown if the file grows
// while read), so that a small file costs little whatever the capacity.
// Anything but a regular file (a FIFO, a device) is refused without waiting on
// it. False when the file cannot be opened or read, is no regular file, or
// there is no memory for its bytes.
bool readRegularFile(const char* pszPath, uint64_t capacity, std::vector<uint8_t>* pBytes);

}  // namespace System
