#include "System.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <initializer_list>

namespace System {

// The lowest free descriptor is the one open() returns, so each closed one in
// turn gets the null device.
bool prepareStandardStreams()
{
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF &&
            ::open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY) != fd) {
            return false;
        }
    }
    return std::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
}

bool rewritesLines(std::FILE* pStream) { return isatty(fileno(pStream)) != 0; }

// O_NONBLOCK keeps the open of a FIFO or a device from holding the job.
bool readRegularFile(const char* pszPath, uint8_t* pbBuffer, uint64_t capacity, uint64_t* pSize)
{
    const int fd = ::open(pszPath, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat status {};
    bool fRead = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    uint64_t size = 0;
    while (fRead && size < capacity) {
        const ssize_t count = ::read(fd, pbBuffer + size, capacity - size);
        if (count > 0) {
            size += static_cast<uint64_t>(count);
        } else if (count == 0) {
            break;
        } else if (errno != EINTR) {
            fRead = false;
        }
    }
    ::close(fd);
    if (fRead) {
        *pSize = size;
    }
    return fRead;
}

}  // namespace System
