// The Linux request for an arbitrary line speed on an open terminal
// descriptor. It lives apart because the kernel's terminal header, which it
// needs, clashes with the C library's <termios.h>.
#pragma once

#include <cstdint>

// Sets the input and the output speed of fd to exactly these bits per second;
// the rest of the line settings stay. Returns 0, or -1 with errno set.
int setLinuxLineSpeed(int fd, uint64_t inputSpeed, uint64_t outputSpeed);

// Reads the input and the output speed of fd in bits per second (on a
// pseudo-terminal master: those of its slave). Returns 0, or -1 with errno set.
int getLinuxLineSpeed(int fd, uint64_t* pInputSpeed, uint64_t* pOutputSpeed);
