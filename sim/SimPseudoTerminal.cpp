#include "SimPseudoTerminal.h"

#include "SimLineSpeed.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

std::runtime_error failure(const std::string& what) { return std::runtime_error(what + ": " + std::strerror(errno)); }

}  // namespace

SimPseudoTerminal::SimPseudoTerminal()
{
    m_master = posix_openpt(O_RDWR | O_NOCTTY);
    if (m_master < 0) {
        throw failure("cannot open a pseudo-terminal");
    }
    const char* path = nullptr;
    if (grantpt(m_master) != 0 || unlockpt(m_master) != 0 || (path = ptsname(m_master)) == nullptr) {
        const std::runtime_error error = failure("cannot unlock the pseudo-terminal");
        close(m_master);
        throw error;
    }
    m_devicePath = path;
    m_device = open(path, O_RDWR | O_NOCTTY);
    if (m_device < 0) {
        const std::runtime_error error = failure("cannot open " + m_devicePath);
        close(m_master);
        throw error;
    }
    // A transparent line until a host sets its own: no echo of the board's
    // answers back to the board. Speed and format stay as the system made
    // them, so a host that does not set 115200 8N2 is not understood.
    struct termios settings {};
    if (tcgetattr(m_device, &settings) == 0) {
        cfmakeraw(&settings);
        tcsetattr(m_device, TCSANOW, &settings);
    }
    fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
}

SimPseudoTerminal::~SimPseudoTerminal()
{
    if (m_link) {
        unlink(m_link->c_str());
    }
    close(m_device);
    close(m_master);
}

SimLineSettings SimPseudoTerminal::lineSettings() const
{
    SimLineSettings line;
    line.speed = SimLineSpeed::get(m_master);
    struct termios settings {};
    if (tcgetattr(m_master, &settings) == 0) {
        switch (settings.c_cflag & CSIZE) {
        case CS5: line.dataBits = 5; break;
        case CS6: line.dataBits = 6; break;
        case CS7: line.dataBits = 7; break;
        default: line.dataBits = 8; break;
        }
        line.parity = (settings.c_cflag & PARENB) == 0 ? 'N' : (settings.c_cflag & PARODD) != 0 ? 'O' : 'E';
        line.stopBits = (settings.c_cflag & CSTOPB) != 0 ? 2 : 1;
    }
    return line;
}

void SimPseudoTerminal::makeLink(const std::string& path)
{
    struct stat status {};
    if (lstat(path.c_str(), &status) == 0) {
        if (!S_ISLNK(status.st_mode)) {
            throw std::runtime_error(path + " exists and is not a symbolic link");
        }
        unlink(path.c_str());
    }
    if (symlink(m_devicePath.c_str(), path.c_str()) != 0) {
        throw failure("cannot make the link " + path);
    }
    m_link = path;
}
