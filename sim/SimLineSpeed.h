// Exact line speeds of a terminal device, 250000 baud and the like included.
// On Linux this takes the kernel's termios2 request, whose header clashes
// with <termios.h>; so it has a file of its own that includes nothing else of
// the terminal interface.
#pragma once

#include <cstdint>

class SimLineSpeed {
public:
    // The output speed set on the terminal; for a pseudo-terminal master, the
    // speed the program on the other end set. 0 when it cannot be read.
    static uint32_t get(int fd);
    // Sets the input and output speed to exactly speed; false on failure.
    static bool set(int fd, uint32_t speed);
};
