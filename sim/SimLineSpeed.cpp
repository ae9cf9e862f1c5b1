#include "SimLineSpeed.h"

#if defined(__linux__)

#include <asm/termbits.h>
#include <sys/ioctl.h>

uint32_t SimLineSpeed::get(int fd)
{
    struct termios2 settings {};
    return ioctl(fd, TCGETS2, &settings) == 0 ? settings.c_ospeed : 0;
}

bool SimLineSpeed::set(int fd, uint32_t speed)
{
    struct termios2 settings {};
    if (ioctl(fd, TCGETS2, &settings) != 0) {
        return false;
    }
    settings.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    settings.c_ispeed = speed;
    settings.c_ospeed = speed;
    return ioctl(fd, TCSETS2, &settings) == 0;
}

#else

#include <termios.h>

uint32_t SimLineSpeed::get(int fd)
{
    struct termios settings {};
    return tcgetattr(fd, &settings) == 0 ? static_cast<uint32_t>(cfgetospeed(&settings)) : 0;
}

bool SimLineSpeed::set(int fd, uint32_t speed)
{
    struct termios settings {};
    return tcgetattr(fd, &settings) == 0 && cfsetspeed(&settings, speed) == 0 && tcsetattr(fd, TCSANOW, &settings) == 0;
}

#endif
