// What the POSIX systems do differently with a serial device. The POSIX
// device is written once against these; each system (Linux, macOS) has one
// file that defines them with its list of ports and its advice on latency
// (LinuxSerial.cpp, MacSerial.cpp), chosen by the build.
#pragma once

#include <termios.h>

#include <cstdint>
#include <optional>

namespace PosixSerial {

// Makes the calling thread's timed waits, and those of the threads it starts
// later, end as near their deadline as the system allows.
void sharpenTimers();

// Clears the line flags that only this system has and that would make the
// line less than a transparent 8-bit channel (its kinds of flow control).
void clearSystemFlags(struct termios& tio);

// Asks the driver for exactly these speeds with the system's own request.
// Returns 0, or -1 when the request failed (for example on a pseudo-terminal
// that has no case for it).
int requestSpeed(int fd, uint64_t inputSpeed, uint64_t outputSpeed);

// The speeds the device has now. Returns 0, or -1.
int currentSpeed(int fd, uint64_t* pInputSpeed, uint64_t* pOutputSpeed);

// The terminal record's value for a speed in bits per second, or false when
// the record cannot carry it on this system.
bool speedValue(uint64_t bitsPerSecond, speed_t* pValue);

// Asks the driver to hand received bytes on as soon as they arrive. Returns
// whether it granted that; *pfChanged tells whether anything was changed
// that closeLowLatency must put back.
bool openLowLatency(int fd, bool* pfChanged);
// Puts back the latency that openLowLatency changed.
void closeLowLatency(int fd);
// The latency timer in milliseconds of the USB serial adapter that fd is, where the system tells it.
std::optional<uint64_t> latencyTimer(int fd);

}  // namespace PosixSerial
