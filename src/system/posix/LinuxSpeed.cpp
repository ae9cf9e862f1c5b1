// Linux's request for an exact line speed, apart from <termios.h>.
#include "LinuxSpeed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <limits>

int setLinuxLineSpeed(int fd, uint64_t inputSpeed, uint64_t outputSpeed)
{
    if (inputSpeed > std::numeric_limits<speed_t>::max() || outputSpeed > std::numeric_limits<speed_t>::max()) {
        errno = EINVAL;
        return -1;
    }
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) == -1) {
        return -1;
    }
    // BOTHER in both speed fields of c_cflag: the speeds are taken from
    // c_ispeed and c_ospeed as they are, not from the table of B-constants.
    tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = static_cast<speed_t>(inputSpeed);
    tio.c_ospeed = static_cast<speed_t>(outputSpeed);
    return ioctl(fd, TCSETS2, &tio);
}

int getLinuxLineSpeed(int fd, uint64_t* pInputSpeed, uint64_t* pOutputSpeed)
{
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) == -1) {
        return -1;
    }
    *pInputSpeed = tio.c_ispeed;
    *pOutputSpeed = tio.c_ospeed;
    return 0;
}
