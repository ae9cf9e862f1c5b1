// The standard streams, the terminal and reading a file on Linux and macOS.
#include "Platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <initializer_list>

#include "SizedRead.h"

namespace Platform {

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
bool readRegularFile(const char* pszPath, uint64_t capacity, std::vector<uint8_t>* pBytes)
{
    const int fd = ::open(pszPath, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat status {};
    const bool fRead = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
                       readSized(
                           static_cast<uint64_t>(status.st_size), capacity,
                           [fd](uint8_t* pbTo, uint64_t dwWanted) -> int64_t {
                               ssize_t count = 0;
                               do {
                                   count = ::read(fd, pbTo, dwWanted);
                               } while (count < 0 && errno == EINTR);
                               return count;
                           },
                           pBytes);
    ::close(fd);
    return fRead;
}

}  // namespace Platform
