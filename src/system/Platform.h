// Everything the program takes from the system it runs on, in one list. A new
// system gives each of these, in files of its own under src/system/<family>/
// that the build picks by the target system; nothing else in the program
// differs between systems.
//
//   SerialDevice (SerialDevice.h)  the serial device: opened for this program alone, a transparent line, put back as
//   found StopSignals (StopSignals.h)    the system's stop requests: the first stops the job, a second ends the process
//   Platform::waitUntil            a condition variable's wait for a steady deadline that no wall-clock step stretches
//   Platform::serialPorts          the serial devices a board may be on, one printable line each
//   Platform::readRegularFile      a regular file's bytes as they are, never waiting on anything else
//   Platform::prepareStandardStreams, Platform::rewritesLines  the standard streams and the terminal
//   Platform::latencyRemedy        how a user gets short answers from a USB serial adapter here
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "SerialDevice.h"
#include "StopSignals.h"

namespace Platform {

// Waits under lock until done() holds or the deadline has passed; returns
// done(). Where the C++ library turns a steady deadline into a wall-clock one
// (Apple's), the wait is made another way.
bool waitUntil(std::condition_variable& condition, std::unique_lock<std::mutex>& lock,
               std::chrono::steady_clock::time_point deadline, const std::function<bool()>& done);

// This machine's serial devices, in order, each with what the system tells of
// it in parentheses; every byte that a terminal would not show as it is is
// escaped as SerialPortList::printable does.
std::vector<std::string> serialPorts();

// Reads at most capacity bytes of the regular file at pszPath into *pBytes,
// byte for byte, in memory sized by the file (and grown if the file grows
// while read), so that a small file costs little whatever the capacity.
// Anything but a regular file (a FIFO, a device) is refused without waiting on
// it. False when the file cannot be opened or read, is no regular file, or
// there is no memory for its bytes.
bool readRegularFile(const char* pszPath, uint64_t capacity, std::vector<uint8_t>* pBytes);

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

// For answers that a USB serial adapter on the port pszPort holds back: why,
// likely, and what the user can do about it on this system, as words that
// follow "answers come N ms late: ".
std::string latencyRemedy(const char* pszPort, bool fLowLatency);

}  // namespace Platform
